#include "app/actions/mail_environment.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "test_support.h"

namespace squeakbox {
namespace {

namespace fs = std::filesystem;
using test::scratch_folder;
using test::write_file;

TEST(MimeAssociationFiles, FollowTheXdgSearchOrder) {
    xdg_variables xdg;
    xdg.home = "/home/anna";
    xdg.current_desktop = "ubuntu:GNOME";
    const std::vector<fs::path> defaults = mime_association_files(xdg);
    const auto position = [&](const fs::path& file) {
        return std::find(defaults.begin(), defaults.end(), file) - defaults.begin();
    };
    const auto end = static_cast<std::ptrdiff_t>(defaults.size());
    ASSERT_LT(position("/home/anna/.config/gnome-mimeapps.list"), end);
    EXPECT_LT(position("/home/anna/.config/ubuntu-mimeapps.list"),
              position("/home/anna/.config/gnome-mimeapps.list"));
    EXPECT_LT(position("/home/anna/.config/gnome-mimeapps.list"),
              position("/home/anna/.config/mimeapps.list"));
    EXPECT_LT(position("/home/anna/.config/mimeapps.list"), position("/etc/xdg/mimeapps.list"));
    EXPECT_LT(position("/etc/xdg/mimeapps.list"),
              position("/home/anna/.local/share/applications/mimeapps.list"));
    EXPECT_LT(position("/usr/share/applications/mimeapps.list"),
              position("/usr/share/applications/mimeinfo.cache"));
    EXPECT_LT(position("/usr/local/share/applications/defaults.list"), end);

    xdg.config_home = "/cfg";
    xdg.data_dirs = "/opt/a::/opt/b";
    const std::vector<fs::path> custom = mime_association_files(xdg);
    EXPECT_NE(std::find(custom.begin(), custom.end(), "/cfg/mimeapps.list"), custom.end());
    EXPECT_NE(std::find(custom.begin(), custom.end(), "/opt/b/applications/mimeinfo.cache"),
              custom.end());
    EXPECT_EQ(std::find(custom.begin(), custom.end(), "/usr/share/applications/mimeinfo.cache"),
              custom.end());
}

TEST(MailtoHandlerListed, CountsOnlySectionsThatAssociateAProgram) {
    scratch_folder scratch;
    const fs::path list = scratch.path() / "mimeapps.list";
    const std::vector<fs::path> files = {scratch.path() / "missing.list", list};

    EXPECT_FALSE(mailto_handler_listed(files));
    write_file(list,
               "[Default Applications]\ntext/html=firefox.desktop\n"
               "[Removed Associations]\nx-scheme-handler/mailto=thunderbird.desktop;\n");
    EXPECT_FALSE(mailto_handler_listed(files));
    write_file(list,
               "[Default Applications]\nx-scheme-handler/mailto=\n"
               "x-scheme-handler/mailto-extra=evolution.desktop\n");
    EXPECT_FALSE(mailto_handler_listed(files));
    write_file(list,
               "[Added Associations]\r\n# comment\r\n"
               " x-scheme-handler/mailto = ;thunderbird.desktop;\r\n");
    EXPECT_TRUE(mailto_handler_listed(files));
    write_file(list, "[MIME Cache]\nx-scheme-handler/mailto=org.gnome.Evolution.desktop;\n");
    EXPECT_TRUE(mailto_handler_listed(files));
}

}  // namespace
}  // namespace squeakbox
