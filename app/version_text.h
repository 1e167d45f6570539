#pragma once
// What --version prints: the program's version and the versions of the
// libraries it runs on, and which engine classes and kernels it uses.

#include <string>
#include <string_view>

namespace squeakbox {

// `engine` describes the pitch engine in use, for example "plain classes,
// scalar kernels".
[[nodiscard]] std::string version_text(std::string_view engine);

}  // namespace squeakbox
