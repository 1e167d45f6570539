#include "app/actions/program_file.h"

#include <string>
#include <string_view>
#include <system_error>

namespace squeakbox {

namespace {

constexpr const char* self_link = "/proc/self/exe";
// The kernel's mark on the link of a program file that is gone from its folder.
constexpr std::string_view deleted_mark = " (deleted)";

struct link_target {
    std::filesystem::path path;
    bool deleted = false;
};

link_target read_self_link() {
    std::error_code ec;
    std::filesystem::path target = std::filesystem::read_symlink(self_link, ec);
    if (ec) return {};
    std::string text = target.string();
    if (text.ends_with(deleted_mark)) {
        text.resize(text.size() - deleted_mark.size());
        return {text, true};
    }
    return {std::move(target), false};
}

}  // namespace

std::filesystem::path module_path() {
    const link_target self = read_self_link();
    if (self.deleted) return self_link;
    return self.path;
}

std::filesystem::path program_folder() {
    return read_self_link().path.parent_path();
}

}  // namespace squeakbox
