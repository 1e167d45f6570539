#include "app/actions/desktop_copy.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "app/actions/program_file.h"
#include "test_support.h"

namespace squeakbox {
namespace {

namespace fs = std::filesystem;
using test::box_recorder;
using test::ensure_event_loop;
using test::read_file;
using test::run_events_until;
using test::scratch_folder;
using test::write_file;

TEST(AsciiUpper, TurnsOnlyAsciiLettersUpperCase) {
    EXPECT_EQ(ascii_upper("/home/anna/Desktop/Squeakbox"), "/HOME/ANNA/DESKTOP/SQUEAKBOX");
    EXPECT_EQ(ascii_upper("az AZ 09 -_./\\~`{}@["), "AZ AZ 09 -_./\\~`{}@[");
    // UTF-8 "/Schreibtisch/überall-é-ß": the bytes of ü, é and ß stay as they are.
    EXPECT_EQ(ascii_upper("/Schreibtisch/\xC3\xBC"
                          "berall-\xC3\xA9-\xC3\x9F"),
              "/SCHREIBTISCH/\xC3\xBC"
              "BERALL-\xC3\xA9-\xC3\x9F");
    // Latin-1 ä, é, ÿ and µ are single bytes above 127: a locale-aware toupper
    // would turn them into other letters (or other bytes); they must survive.
    const std::string latin1 = "k\xE4se \xE9t\xE9 \xFF\xB5";
    EXPECT_EQ(ascii_upper(latin1), "K\xE4SE \xE9T\xE9 \xFF\xB5");
    // Every byte value: only 'a' to 'z' change, and they change by exactly 32.
    for (int b = 0; b < 256; ++b) {
        const char c = static_cast<char>(b);
        const char expected = (b >= 'a' && b <= 'z') ? static_cast<char>(b - 32) : c;
        EXPECT_EQ(ascii_upper(std::string(1, c)), std::string(1, expected)) << "byte " << b;
    }
    EXPECT_EQ(ascii_upper(std::string("a\0b", 3)), std::string("A\0B", 3));
}

TEST(DesktopCopyPath, KeepsTheFolderAsFoundAndUpperCasesOnlyTheName) {
    EXPECT_EQ(desktop_copy_path("/home/anna/Schreibtisch"), "/home/anna/Schreibtisch/SQUEAKBOX");
    EXPECT_EQ(desktop_copy_path("/home/J\xC3\xBCrgen/Desktop"),
              "/home/J\xC3\xBCrgen/Desktop/SQUEAKBOX");
    EXPECT_EQ(desktop_copy_path("/"), "/SQUEAKBOX");
    // No desktop folder: no destination at all, never "/SQUEAKBOX" at the root.
    EXPECT_TRUE(desktop_copy_path("").empty());
}

TEST(ModulePath, NamesTheRunningProgramFile) {
    const fs::path self = module_path();
    ASSERT_FALSE(self.empty());
    EXPECT_TRUE(self.is_absolute());
    EXPECT_TRUE(fs::is_regular_file(self));
    EXPECT_TRUE(fs::equivalent(self, "/proc/self/exe"));
    EXPECT_EQ(program_folder(), self.parent_path());
}

class CopySelfToDesktop : public ::testing::Test {
  protected:
    fs::path make_program(const std::string& content, fs::perms perms) {
        const fs::path program = scratch_.path() / "bin" / "squeakbox";
        write_file(program, content);
        fs::permissions(program, perms, fs::perm_options::replace);
        return program;
    }
    fs::path desktop() {
        const fs::path folder = scratch_.path() / "Schreibtisch";
        fs::create_directories(folder);
        return folder;
    }
    // Entries of `folder` other than `keep`: leftovers of a copy.
    static std::vector<std::string> strays(const fs::path& folder, const std::string& keep) {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder)) {
            const std::string name = entry.path().filename().string();
            if (name != keep) names.push_back(name);
        }
        return names;
    }

    scratch_folder scratch_;
    box_recorder recorder_;
};

TEST_F(CopySelfToDesktop, ReplacesAnExistingCopySilentlyAndKeepsItExecutable) {
    // Read-only like many installed programs: the copy gets these bits exactly.
    const fs::path program = make_program("new program", fs::perms(0555));
    const fs::path to = desktop_copy_path(desktop());
    write_file(to, "an older, longer copy of the program");
    fs::permissions(to, fs::perms(0600), fs::perm_options::replace);

    const copy_result result = copy_self_to_desktop(recorder_.hook(), program, to);

    EXPECT_TRUE(result.ok) << result.message;
    EXPECT_TRUE(result.message.empty());
    EXPECT_TRUE(recorder_.boxes.empty());
    EXPECT_EQ(read_file(to), "new program");
    EXPECT_EQ(fs::status(to).permissions() & fs::perms::all, fs::perms(0555));
    EXPECT_TRUE(strays(to.parent_path(), "SQUEAKBOX").empty());
}

TEST_F(CopySelfToDesktop, CopiesTheRunningProgramWhole) {
    const fs::path to = desktop_copy_path(desktop());
    const copy_result result = copy_self_to_desktop(recorder_.hook(), module_path(), to);
    ASSERT_TRUE(result.ok) << result.message;
    EXPECT_EQ(fs::file_size(to), fs::file_size(module_path()));
    EXPECT_NE(fs::status(to).permissions() & fs::perms::owner_exec, fs::perms::none);
    EXPECT_EQ(::access(to.c_str(), X_OK), 0);
}

TEST_F(CopySelfToDesktop, RefusesWithoutADesktopFolder) {
    const fs::path program = make_program("program", fs::perms(0755));
    const copy_result empty = copy_self_to_desktop(recorder_.hook(), program, "");
    EXPECT_FALSE(empty.ok);
    EXPECT_NE(empty.message.find("no desktop folder"), std::string::npos) << empty.message;
    // A relative destination would land wherever the program was started.
    const copy_result relative = copy_self_to_desktop(recorder_.hook(), program, "SQUEAKBOX");
    EXPECT_FALSE(relative.ok);
    EXPECT_FALSE(fs::exists("SQUEAKBOX"));

    ASSERT_EQ(recorder_.boxes.size(), 2u);
    EXPECT_EQ(recorder_.boxes[0].text, empty.message);
    EXPECT_EQ(recorder_.boxes[0].title, "Error");
    EXPECT_EQ(recorder_.boxes[1].text, relative.message);

    // Copied away from the window's thread, the same box comes back to it.
    ensure_event_loop();
    background_job job;
    ASSERT_TRUE(copy_self_to_desktop_in_background(job, recorder_.hook(), program, ""));
    ASSERT_TRUE(run_events_until([&] { return !job.busy(); }));
    ASSERT_EQ(recorder_.boxes.size(), 3u);
    EXPECT_EQ(recorder_.boxes[2].text, empty.message);
    EXPECT_EQ(recorder_.boxes[2].title, "Error");
}

TEST_F(CopySelfToDesktop, FailuresReportTheReasonAndLeaveAGoodCopyAlone) {
    const fs::path folder = desktop();
    const fs::path to = desktop_copy_path(folder);
    write_file(to, "good copy");

    // Missing program file.
    const fs::path missing = scratch_.path() / "gone" / "squeakbox";
    const copy_result no_source = copy_self_to_desktop(recorder_.hook(), missing, to);
    EXPECT_FALSE(no_source.ok);
    EXPECT_NE(no_source.message.find(missing.string()), std::string::npos) << no_source.message;

    // Desktop folder that does not exist.
    const fs::path program = make_program("program", fs::perms(0755));
    const fs::path nowhere = scratch_.path() / "no such folder" / "SQUEAKBOX";
    const copy_result no_folder = copy_self_to_desktop(recorder_.hook(), program, nowhere);
    EXPECT_FALSE(no_folder.ok);
    EXPECT_NE(no_folder.message.find("does not exist"), std::string::npos) << no_folder.message;
    EXPECT_FALSE(fs::exists(nowhere.parent_path()));

    // A folder where no one may create files, not even the superuser.
    const copy_result unwritable =
        copy_self_to_desktop(recorder_.hook(), program, "/proc/SQUEAKBOX");
    EXPECT_FALSE(unwritable.ok);
    EXPECT_NE(unwritable.message.find("cannot write"), std::string::npos) << unwritable.message;

    // The name is taken by a folder with content: the rename fails after the
    // bytes were copied, and the half-done copy must vanish.
    const fs::path taken = scratch_.path() / "taken";
    write_file(taken / "SQUEAKBOX" / "keep.txt", "mine");
    const copy_result blocked =
        copy_self_to_desktop(recorder_.hook(), program, taken / "SQUEAKBOX");
    EXPECT_FALSE(blocked.ok);
    EXPECT_NE(blocked.message.find("cannot replace"), std::string::npos) << blocked.message;
    EXPECT_EQ(read_file(taken / "SQUEAKBOX" / "keep.txt"), "mine");
    EXPECT_TRUE(strays(taken, "SQUEAKBOX").empty());

    EXPECT_EQ(read_file(to), "good copy");
    EXPECT_TRUE(strays(folder, "SQUEAKBOX").empty());
    ASSERT_EQ(recorder_.boxes.size(), 4u);
    for (const auto& box : recorder_.boxes) {
        EXPECT_EQ(box.title, "Error");
        EXPECT_EQ(box.text.rfind("Cannot copy Squeakbox to the desktop: ", 0), 0u) << box.text;
    }
}

TEST_F(CopySelfToDesktop, ReportsAFolderWithoutWritePermission) {
    const fs::path program = make_program("program", fs::perms(0755));
    const fs::path folder = desktop();
    fs::permissions(folder, fs::perms(0555), fs::perm_options::replace);
    if (::access(folder.c_str(), W_OK) == 0) {
        GTEST_SKIP() << "this user may write into read-only folders (superuser)";
    }
    const copy_result result =
        copy_self_to_desktop(recorder_.hook(), program, desktop_copy_path(folder));
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.message.find("Permission denied"), std::string::npos) << result.message;
    EXPECT_EQ(recorder_.boxes.size(), 1u);
}

}  // namespace
}  // namespace squeakbox
