#include "app/termination_signals.h"

#include <gtest/gtest.h>

#include <csignal>
#include <vector>

#include "window_harness.h"

namespace squeakbox {
namespace {

TEST(TerminationSignals, ReachTheEventLoopInsteadOfEndingTheProcess) {
    std::vector<int> seen;
    {
        termination_signals signals([&](int signal) { seen.push_back(signal); });
        ASSERT_TRUE(signals.active());
        std::raise(SIGTERM);
        std::raise(SIGINT);
        std::raise(SIGHUP);
        EXPECT_TRUE(seen.empty());  // nothing happens inside the handler
        EXPECT_TRUE(testing::window_harness::run_until([&] { return seen.size() == 3; }));
        EXPECT_EQ(seen, (std::vector<int>{SIGTERM, SIGINT, SIGHUP}));
    }
    // Afterwards the handlers found before are back.
    struct sigaction now = {};
    ::sigaction(SIGTERM, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
}

TEST(TerminationSignals, SignalsIgnoredAtStartStayIgnored) {
    // As under nohup, or from a script that ignores SIGINT.
    for (int ignored : {SIGHUP, SIGINT}) {
        std::signal(ignored, SIG_IGN);
        std::vector<int> seen;
        {
            termination_signals signals([&](int signal) { seen.push_back(signal); });
            ASSERT_TRUE(signals.active());
            struct sigaction now = {};
            ::sigaction(ignored, nullptr, &now);
            EXPECT_EQ(now.sa_handler, SIG_IGN) << ignored;
            std::raise(ignored);
            std::raise(SIGTERM);
            EXPECT_TRUE(testing::window_harness::run_until([&] { return !seen.empty(); }));
            testing::window_harness::run_until([] { return false; }, 50);
            EXPECT_EQ(seen, std::vector<int>{SIGTERM}) << ignored;
        }
        struct sigaction now = {};
        ::sigaction(ignored, nullptr, &now);
        EXPECT_EQ(now.sa_handler, SIG_IGN) << ignored;
        std::signal(ignored, SIG_DFL);
    }
}

}  // namespace
}  // namespace squeakbox
