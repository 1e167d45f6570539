#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "app/actions/desktop_folder.h"
#include "app/actions/desktop_folder_lookup.h"

namespace squeakbox {
namespace {

namespace fs = std::filesystem;

struct desktop_folders : ::testing::Test {
    fs::path root;
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        root = fs::temp_directory_path() /
               ("squeakbox-desktop-" + std::to_string(::getpid()) + "-" + info->name());
        fs::create_directories(root / "home");
    }
    void TearDown() override { fs::remove_all(root); }

    [[nodiscard]] std::string home() const { return (root / "home").string(); }
    [[nodiscard]] desktop_environment environment() const { return {home(), ""}; }
    void user_dirs(const std::string& text) const {
        fs::create_directories(root / "home/.config");
        std::ofstream(root / "home/.config/user-dirs.dirs") << text;
    }
};

TEST(UserDirsParsing, ReadsTheDesktopEntryAsTheShellWould) {
    const std::string home = "/home/anna";
    EXPECT_EQ(parse_desktop_dir("XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n", home),
              "/home/anna/Schreibtisch");
    EXPECT_EQ(parse_desktop_dir("# comment\n  XDG_DESKTOP_DIR=\"${HOME}/My \\\"Desk\\\"/\"", home),
              "/home/anna/My \"Desk\"");
    EXPECT_EQ(parse_desktop_dir("XDG_DESKTOP_DIR=/srv/desk # shared\n", home), "/srv/desk");
    EXPECT_EQ(parse_desktop_dir("XDG_DESKTOP_DIR=\"$HOME/\"", home), "/home/anna");
    // The last valid line counts; other keys, relative paths and "$HOMEX" do not.
    EXPECT_EQ(parse_desktop_dir("XDG_DESKTOP_DIR=\"$HOME/A\"\nXDG_DESKTOP_DIR=\"$HOME/B\"\n"
                                "XDG_DESKTOP_DIR=\"Desktop\"\nXDG_DESKTOP_DIR=\"$HOMEX/C\"\n"
                                "XDG_DOWNLOAD_DIR=\"$HOME/D\"\n#XDG_DESKTOP_DIR=\"/E\"\n",
                                home),
              "/home/anna/B");
    EXPECT_EQ(parse_desktop_dir("XDG_MUSIC_DIR=\"$HOME/Music\"\n", home), std::nullopt);
    EXPECT_EQ(parse_desktop_dir("XDG_DESKTOP_DIR=\"$HOME/Desk\"", ""), std::nullopt);
    // Long paths are kept whole.
    const std::string deep = "/" + std::string(600, 'x');
    EXPECT_EQ(parse_desktop_dir("XDG_DESKTOP_DIR=\"" + deep + "\"", home), deep);
}

TEST_F(desktop_folders, FindsTheConfiguredDesktopThenTheDefaultThenHome) {
    // Neither a desktop folder nor a configuration: home, never the root.
    EXPECT_EQ(find_desktop_folder(environment()), home());
    desktop_environment trailing{home() + "//", ""};
    EXPECT_EQ(find_desktop_folder(trailing), home());

    fs::create_directories(root / "home/Desktop");
    EXPECT_EQ(find_desktop_folder(environment()), home() + "/Desktop");

    // The configured folder replaces the default; while it is missing, home.
    user_dirs("XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n");
    EXPECT_EQ(find_desktop_folder(environment()), home());
    fs::create_directories(root / "home/Schreibtisch");
    EXPECT_EQ(find_desktop_folder(environment()), home() + "/Schreibtisch");

    // XDG_CONFIG_HOME, when absolute, is where the file is looked for.
    fs::create_directories(root / "config");
    fs::create_directories(root / "elsewhere");
    std::ofstream(root / "config/user-dirs.dirs")
        << "XDG_DESKTOP_DIR=\"" << (root / "elsewhere").string() << "/\"\n";
    EXPECT_EQ(find_desktop_folder({home(), (root / "config").string()}),
              (root / "elsewhere").string());
    EXPECT_EQ(find_desktop_folder({home(), "relative/config"}), home() + "/Schreibtisch");
}

TEST_F(desktop_folders, WithoutHomeThereIsNoFolderAndAFailureKeepsTheLastPath) {
    const desktop_environment gone{(root / "missing").string(), ""};
    EXPECT_EQ(find_desktop_folder(gone), std::nullopt);
    EXPECT_EQ(find_desktop_folder({"", ""}), std::nullopt);
    EXPECT_EQ(find_desktop_folder({"/", ""}), std::nullopt);

    desktop_folder folder;
    EXPECT_EQ(folder.look_up(gone), "");  // failure before any success
    fs::create_directories(root / "home/Desktop");
    const std::string& first = folder.look_up(environment());
    EXPECT_EQ(first, home() + "/Desktop");
    const std::string& again = folder.look_up(environment());
    EXPECT_EQ(&first, &again);                             // the same buffer, the same text
    EXPECT_EQ(folder.look_up(gone), home() + "/Desktop");  // failure after success
}

TEST_F(desktop_folders, TheProcessWideLookUpReadsTheEnvironment) {
    const char* saved_home = std::getenv("HOME");
    const char* saved_config = std::getenv("XDG_CONFIG_HOME");
    const std::string old_home = saved_home != nullptr ? saved_home : "";
    const std::string old_config = saved_config != nullptr ? saved_config : "";

    fs::create_directories(root / "home/Desktop");
    ::setenv("HOME", home().c_str(), 1);
    ::unsetenv("XDG_CONFIG_HOME");
    const std::string& first = get_desktop_path();
    EXPECT_EQ(first, home() + "/Desktop");
    EXPECT_EQ(&get_desktop_path(), &first);
    ::setenv("HOME", (root / "missing").string().c_str(), 1);
    EXPECT_EQ(get_desktop_path(), home() + "/Desktop");

    if (saved_home != nullptr)
        ::setenv("HOME", old_home.c_str(), 1);
    else
        ::unsetenv("HOME");
    if (saved_config != nullptr) ::setenv("XDG_CONFIG_HOME", old_config.c_str(), 1);
}

}  // namespace
}  // namespace squeakbox
