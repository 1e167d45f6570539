#pragma once
// Helpers shared by the action tests: an independent percent-decoder, a scratch
// folder that cleans up after itself, and a recorder for message boxes.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace squeakbox::test {

// Decodes %XX escapes; a malformed escape fails the test rather than passing
// through, so an encoder that writes "%0" or "%G1" cannot slip by.
inline std::string percent_decode(const std::string& text) {
    const auto hex_value = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        const int high = i + 2 < text.size() ? hex_value(text[i + 1]) : -1;
        const int low = i + 2 < text.size() ? hex_value(text[i + 2]) : -1;
        if (high < 0 || low < 0) {
            ADD_FAILURE() << "malformed escape at " << i << " in " << text;
            return out;
        }
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

// The local path behind a file:// URL.
inline std::filesystem::path path_of_file_url(const std::string& url) {
    const std::string scheme = "file://";
    EXPECT_EQ(url.rfind(scheme, 0), 0u) << url;
    return percent_decode(url.substr(scheme.size()));
}

class scratch_folder {
  public:
    scratch_folder() {
        std::random_device seed;
        path_ = std::filesystem::temp_directory_path() /
                ("squeakbox-test-" + std::to_string(seed()) + std::to_string(seed()));
        std::filesystem::create_directories(path_);
    }
    scratch_folder(const scratch_folder&) = delete;
    scratch_folder& operator=(const scratch_folder&) = delete;
    ~scratch_folder() {
        std::error_code ignored;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

inline void write_file(const std::filesystem::path& path, const std::string& content) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out << content;
}

inline std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct shown_box {
    std::string text;
    std::string title;
};

// Collects every box an action shows, in order.
struct box_recorder {
    std::vector<shown_box> boxes;
    auto hook() {
        return [this](const std::string& text, const std::string& title) {
            boxes.push_back({text, title});
        };
    }
};

// The event loop that background jobs deliver their outcome through; made
// once, for the whole test program.
inline void ensure_event_loop() {
    static int argc = 1;
    static char name[] = "app_actions_tests";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
}

// Runs the event loop until `done` holds; false after five seconds without.
template <class Condition>
bool run_events_until(Condition done) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > 5000) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

}  // namespace squeakbox::test
