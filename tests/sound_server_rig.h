#pragma once
// The sound-server rig of scripts/with-pulse.sh and scripts/with-pipewire.sh,
// as the tests that play through it take it: a reachable server with the
// rig's three sinks, held by one test at a time. Without a server the tests
// skip and say why; with SQUEAKBOX_PULSE_REQUIRED set (as both scripts do)
// they fail instead.

#include <fcntl.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace squeakbox::testing {

// The standard output of a shell command; empty when it failed.
inline std::string command_output(const std::string& command) {
    std::string text;
    if (FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r")) {
        char chunk[4096];
        std::size_t n = 0;
        while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) text.append(chunk, n);
        if (::pclose(pipe) != 0) text.clear();
    }
    return text;
}

// Why the rig cannot be used, or an empty text when it can.
inline std::string rig_missing() {
    if (command_output("pactl info").empty()) return "no PulseAudio server is reachable";
    const std::string sinks = command_output("pactl list short sinks");
    for (const char* sink : {"squeak_rig", "squeak_in", "squeak_out"})
        if (sinks.find(std::string("\t") + sink + "\t") == std::string::npos)
            return std::string("the server has no sink ") + sink;
    return {};
}

// Skips the running test for want of the rig, or fails it where the rig must
// be there. From a fixture's SetUp: `return without_rig(why);`.
inline void without_rig(const std::string& why) {
    if (std::getenv("SQUEAKBOX_PULSE_REQUIRED") != nullptr)
        FAIL() << why;
    else
        GTEST_SKIP() << why << " (run under scripts/with-pulse.sh)";
}

// The tests share the server's sinks: one at a time. Waits for the rig and
// returns the descriptor that holds it until it is closed; -1 on failure.
inline int lock_rig() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string lock =
        std::string(runtime != nullptr ? runtime : "/tmp") + "/squeakbox-pulse-tests.lock";
    const int fd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0 && ::flock(fd, LOCK_EX) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Times the whole machine stood still while a measurement ran. On the shared
// virtual machines the tests run on, the guest now and then stops as a
// whole: a thread that only sleeps 2 ms at a time wakes 114-185 ms late,
// idle or beside a busy core, about once every 10-40 s, and the rig's own
// player leaves a gap in the microphone's sound at that moment. The sound
// server's clock runs on through such a stop, so every stream it serves
// comes back short of sound. A thread that sleeps that little is not held
// up by a busy core (the tests load one), so what it sees is the machine.
class stall_watch {
  public:
    static constexpr std::chrono::milliseconds nap{2};
    static constexpr std::chrono::milliseconds stall{50};

    struct seen {
        std::size_t count = 0;
        double seconds = 0;  // the stops together
    };

    stall_watch()
        : thread_([this] {
              auto last = std::chrono::steady_clock::now();
              while (!stop_.load(std::memory_order_relaxed)) {
                  std::this_thread::sleep_for(nap);
                  const auto now = std::chrono::steady_clock::now();
                  if (now - last >= stall) {
                      const std::lock_guard lock(mutex_);
                      ++seen_.count;
                      seen_.seconds += std::chrono::duration<double>(now - last - nap).count();
                  }
                  last = now;
              }
          }) {}
    ~stall_watch() {
        stop_ = true;
        thread_.join();
    }
    stall_watch(const stall_watch&) = delete;
    stall_watch& operator=(const stall_watch&) = delete;

    [[nodiscard]] seen so_far() const {
        const std::lock_guard lock(mutex_);
        return seen_;
    }

  private:
    mutable std::mutex mutex_;
    seen seen_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

namespace detail {
// The failures of the run being judged, while judged_with_the_machine_running
// holds them back.
inline thread_local const ::testing::TestPartResultArray* run_results = nullptr;

// What broke the rig's own input in the run being judged, if anything.
inline thread_local const char* rig_input_fault = nullptr;

inline bool any_failed(const ::testing::TestPartResultArray& results) {
    for (int i = 0; i < results.size(); ++i)
        if (results.GetTestPartResult(i).failed()) return true;
    return false;
}
}  // namespace detail

// Whether the test has failed so far, in the run being judged too: inside a
// run that may be taken again, HasFailure() does not see its failures.
inline bool failed_so_far() {
    return ::testing::Test::HasFailure() ||
           (detail::run_results != nullptr && detail::any_failed(*detail::run_results));
}

// Tells the run being judged that the rig's own input was broken in it (its
// player left a hole in what the program was to pass on): like a stop of the
// machine, that says nothing about the program.
inline void rig_input_broken(const char* what) {
    detail::rig_input_fault = what;
}

// Runs a measurement in real time and judges it. A run that failed while the
// machine stood still says nothing about the program (the stop, not the
// program, left the sound short), and so does one whose input the rig
// broke (rig_input_broken()), so it is told and taken again, up to
// `runs` in all; the judgement of the last run stands whatever happened in
// it. Failures of a run that is taken again are told, not counted.
// `before_each` clears what one run leaves behind for the next. Inside
// `measure`, failed_so_far() tells whether the run has failed yet.
template <class Measure, class Clear>
void judged_with_the_machine_running(Measure measure, Clear before_each, int runs = 3) {
    for (int run = 1;; ++run) {
        before_each();
        ::testing::TestPartResultArray results;
        stall_watch::seen stalls;
        {
            const ::testing::ScopedFakeTestPartResultReporter catcher(
                ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD,
                &results);
            const stall_watch machine;
            detail::run_results = &results;
            detail::rig_input_fault = nullptr;
            measure();
            detail::run_results = nullptr;
            stalls = machine.so_far();
        }
        const char* rig_fault = std::exchange(detail::rig_input_fault, nullptr);
        if (!detail::any_failed(results) || (stalls.count == 0 && rig_fault == nullptr) ||
            run == runs) {
            if (stalls.count > 0)
                std::printf("[ machine  ] stood still %zu times (%.0f ms) in the judged run\n",
                            stalls.count, 1000 * stalls.seconds);
            for (int i = 0; i < results.size(); ++i) {
                const ::testing::TestPartResult& r = results.GetTestPartResult(i);
                if (r.failed())
                    ADD_FAILURE_AT(r.file_name() != nullptr ? r.file_name() : "?", r.line_number())
                        << r.message();
            }
            return;
        }
        if (rig_fault != nullptr)
            std::printf(
                "[ rig      ] %s in run %d, which failed; measuring again. What it found:\n",
                rig_fault, run);
        else
            std::printf(
                "[ machine  ] stood still %zu times (%.0f ms) in run %d, which failed; "
                "measuring again. What it found:\n",
                stalls.count, 1000 * stalls.seconds, run);
        for (int i = 0; i < results.size(); ++i)
            if (results.GetTestPartResult(i).failed())
                std::printf("[ again    ]   %s\n", results.GetTestPartResult(i).summary());
    }
}

}  // namespace squeakbox::testing
