#include "app/actions/help_pages.h"

#include <source_location>
#include <system_error>

#include "app/actions/percent_encoding.h"
#include "app/actions/program_file.h"

namespace squeakbox {

namespace {

bool holds_pages(const std::filesystem::path& folder) {
    std::error_code ec;
    return !folder.empty() && std::filesystem::is_regular_file(folder / "index.html", ec);
}

// The source tree's help folder, known from where this file was compiled: no
// build setting is needed for a program run straight from its build tree.
std::filesystem::path source_help_folder() {
    const std::filesystem::path this_file = std::source_location::current().file_name();
    return this_file.parent_path().parent_path().parent_path() / "resources" / "help";
}

}  // namespace

std::filesystem::path find_help_folder(const std::filesystem::path& program_folder,
                                       const std::filesystem::path& source_folder) {
    std::filesystem::path installed;
    if (!program_folder.empty()) {
        installed = (program_folder / installed_help_folder).lexically_normal();
    }
    if (holds_pages(installed)) return installed;
    if (holds_pages(source_folder)) return source_folder.lexically_normal();
    return installed.empty() ? source_folder.lexically_normal() : installed;
}

std::filesystem::path help_folder() {
    const std::filesystem::path found = find_help_folder(program_folder(), source_help_folder());
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(found, ec);
    return ec ? found : absolute;
}

std::string file_url(const std::filesystem::path& absolute_path) {
    return "file://" + percent_encode(absolute_path.string(), "/");
}

std::string help_page_url(std::string_view page) {
    return file_url(help_folder() / std::filesystem::path(page));
}

}  // namespace squeakbox
