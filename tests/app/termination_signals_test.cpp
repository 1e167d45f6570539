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
        EXPECT_TRUE(seen.empty());  // nothing happens inside the handler
        EXPECT_TRUE(testing::window_harness::run_until([&] { return seen.size() == 2; }));
        EXPECT_EQ(seen, (std::vector<int>{SIGTERM, SIGINT}));
    }
    // Afterwards the handlers found before are back.
    struct sigaction now = {};
    ::sigaction(SIGTERM, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
}

}  // namespace
}  // namespace squeakbox
