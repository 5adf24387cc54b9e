#include "numeric/scope_exit.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

using bitlay::numeric::ScopeExit;
using bitlay::numeric::ScopeFail;

namespace {

struct Ending {
    const char* name;
    bool throws;
    int exits;  // cleanups that ScopeExit ran
    int fails;  // cleanups that ScopeFail ran
};

std::ostream& operator<<(std::ostream& out, const Ending& ending) { return out << ending.name; }

class Guards : public ::testing::TestWithParam<Ending> {};

TEST_P(Guards, RunTheirCleanupOnTheWaysOutTheyGuard) {
    int exits = 0, fails = 0;
    const auto guarded = [&] {
        const ScopeExit exit([&] { ++exits; });
        const ScopeFail fail([&] { ++fails; });
        if (GetParam().throws) throw std::runtime_error("stop");
    };
    if (GetParam().throws)
        EXPECT_THROW(guarded(), std::runtime_error);
    else
        guarded();
    EXPECT_EQ(exits, GetParam().exits);
    EXPECT_EQ(fails, GetParam().fails);
}

INSTANTIATE_TEST_SUITE_P(Endings, Guards,
                         ::testing::Values(Ending{"Return", false, 1, 0},
                                           Ending{"Exception", true, 1, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

// A scope that returns normally while an earlier exception unwinds (a destructor's own scope) has
// not failed.
TEST(ScopeFail, IgnoresAnExceptionAlreadyUnwindingWhenItWasMade) {
    int fails = 0;
    struct Unwinding {
        int& fails;
        ~Unwinding() {
            const ScopeFail fail([&] { ++fails; });
        }
    };
    try {
        const Unwinding unwinding{fails};
        throw std::runtime_error("outer");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(fails, 0);
}

TEST(ScopeExit, CleansUpInReverseOrder) {
    std::string order;
    {
        const ScopeExit first([&] { order += "first "; });
        const ScopeExit second([&] { order += "second "; });
    }
    EXPECT_EQ(order, "second first ");
}

}  // namespace
