// The settings that stay between runs: what is saved comes back, a file that
// cannot be used gives the defaults and says why, and a write never leaves
// half a file.
#include "app/settings_file.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>

namespace squeakbox {
namespace {

namespace fs = std::filesystem;

struct scratch_folder {
    fs::path path;
    scratch_folder() {
        char pattern[] = "/tmp/squeakbox-settings-XXXXXX";
        path = ::mkdtemp(pattern);
    }
    ~scratch_folder() {
        std::error_code ignored;
        fs::permissions(path, fs::perms::owner_all, ignored);
        fs::remove_all(path, ignored);
    }
    [[nodiscard]] fs::path file() const { return path / "squeakbox" / "settings.ini"; }
};

void put(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
}

std::string contents(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

saved_settings some_settings() {
    saved_settings s;
    s.input_device = "alsa_input.usb-Headset=1 # not a comment";
    s.output_device = "Kopfhörer";
    s.pitch_semitones = -12;
    s.low_latency = true;
    s.close_to_tray = false;
    s.natural_voice = true;
    s.timbre_semitones = -5;
    s.hear_yourself = true;
    return s;
}

TEST(settings_file, saved_values_come_back_and_a_missing_file_is_the_first_run) {
    scratch_folder scratch;
    const settings_read none = read_settings(scratch.file());
    EXPECT_EQ(none.problem, "");
    EXPECT_EQ(none.settings, saved_settings{});

    std::string reason;
    ASSERT_TRUE(write_settings(scratch.file(), some_settings(), reason)) << reason;
    const settings_read back = read_settings(scratch.file());
    EXPECT_EQ(back.problem, "");
    EXPECT_EQ(back.settings, some_settings());
    // Nothing beside it: the temporary file took the old one's place.
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch.file().parent_path()),
                            fs::directory_iterator{}),
              1);
    // Keys of a newer Squeakbox are no damage.
    put(scratch.file(), contents(scratch.file()) + "echo=cathedral\n");
    EXPECT_EQ(read_settings(scratch.file()).settings, some_settings());

    ASSERT_TRUE(remove_settings(scratch.file(), reason)) << reason;
    EXPECT_EQ(read_settings(scratch.file()).settings, saved_settings{});
    EXPECT_TRUE(remove_settings(scratch.file(), reason)) << "forgetting twice is no error";
}

TEST(settings_file, an_unusable_file_gives_the_defaults_and_says_why) {
    const struct {
        const char* name;
        std::function<void(const fs::path&)> damage;
        bool needs_non_root;
    } cases[] = {
        {"random bytes",
         [](const fs::path& file) {
             std::mt19937 rng(7);
             std::string bytes(3000, '\0');
             for (char& b : bytes) b = static_cast<char>(rng());
             put(file, "pitch=3\n" + bytes);
         },
         false},
        {"a folder in its place", [](const fs::path& file) { fs::create_directories(file); },
         false},
        {"a pipe in its place, which must not hold up the start",
         [](const fs::path& file) {
             fs::create_directories(file.parent_path());
             ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
         },
         false},
        {"no permission to read it",
         [](const fs::path& file) {
             put(file, "pitch=3\n");
             fs::permissions(file, fs::perms::none);
         },
         true},
        {"a line that is no setting",
         [](const fs::path& file) { put(file, "pitch=3\nlatency low\n"); }, false},
        {"a pitch beyond the engine's range",
         [](const fs::path& file) { put(file, "pitch=3\npitch=900\n"); }, false},
        {"a close-to-tray that is neither yes nor no",
         [](const fs::path& file) { put(file, "close-to-tray=maybe\n"); }, false},
        {"a timbre beyond an octave", [](const fs::path& file) { put(file, "timbre=13\n"); },
         false},
        {"an unknown latency mode",
         [](const fs::path& file) { put(file, "pitch=3\nlatency=fastest\n"); }, false},
        {"a NUL byte", [](const fs::path& file) { put(file, std::string("pitch=3\0\n", 9)); },
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needs_non_root && ::geteuid() == 0) {
            std::printf("[ SKIPPED  ] %s: root reads every file\n", c.name);
            continue;
        }
        scratch_folder scratch;
        c.damage(scratch.file());
        const settings_read read = read_settings(scratch.file());
        EXPECT_NE(read.problem, "");
        EXPECT_EQ(read.problem.find('\n'), std::string::npos) << "one line";
        EXPECT_EQ(read.settings, saved_settings{}) << "the defaults, not half the file";

        // The next change rewrites it whole where a file can be written; a
        // folder in its place is refused with a reason, and nothing is lost.
        std::string reason;
        const bool written = write_settings(scratch.file(), some_settings(), reason);
        if (written) {
            EXPECT_EQ(read_settings(scratch.file()).settings, some_settings());
        } else {
            EXPECT_NE(reason, "");
            EXPECT_TRUE(fs::is_directory(scratch.file()));
        }
    }
}

TEST(settings_file, a_write_that_fails_half_way_leaves_the_old_file_whole) {
    scratch_folder scratch;
    std::string reason;
    ASSERT_TRUE(write_settings(scratch.file(), some_settings(), reason)) << reason;
    const std::string before = contents(scratch.file());

    // A disk that takes 40 bytes and no more, in a child of its own.
    const pid_t child = ::fork();
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{40, 40};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        saved_settings longer = some_settings();
        longer.output_device = std::string(500, 'x');
        std::string why;
        ::_exit(write_settings(scratch.file(), longer, why) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1) << "the short write was reported as success";
    EXPECT_EQ(contents(scratch.file()), before);
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch.file().parent_path()),
                            fs::directory_iterator{}),
              1)
        << "the unfinished file was left behind";
}

}  // namespace
}  // namespace squeakbox
