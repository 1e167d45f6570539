#pragma once
// The sound-server rig of scripts/with-pulse.sh and scripts/with-pipewire.sh,
// as the tests that play through it take it: a reachable server with the
// rig's three sinks, held by one test at a time. Without a server the tests
// skip and say why; with SQUEAKBOX_PULSE_REQUIRED set (as both scripts do)
// they fail instead.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

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

}  // namespace squeakbox::testing
