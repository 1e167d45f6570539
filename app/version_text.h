#pragma once
// What --version prints: the program's version and the versions of the
// libraries it runs on, and which engine variant it uses.

#include <string>
#include <string_view>

namespace squeakbox {

// `engine` describes the pitch engine in use, for example "plain (plain stage
// classes, scalar kernels), normal latency (...)".
[[nodiscard]] std::string version_text(std::string_view engine);

}  // namespace squeakbox
