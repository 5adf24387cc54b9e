#include "dbx-kicad/transfer_timer.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

using bitlay::kicad::TransferTimer;
using std::chrono::milliseconds;

constexpr milliseconds kQuiet{50};

const TransferTimer::TimePoint kStart{};

TransferTimer::TimePoint at(int ms) { return kStart + milliseconds(ms); }

// One step: 'q' a line added by a caller that returns at once, 'w' one added by a caller that
// then waits inside (for KiCad), 'r' that caller returning, 'e' the transfer ended; then whether
// its end is due.
struct Step {
    char event;
    int ms;
    bool endDue;
};

struct Script {
    const char* what;
    std::vector<Step> steps;
};

void PrintTo(const Script& script, std::ostream* out) { *out << script.what; }

class TransferTimerScript : public ::testing::TestWithParam<Script> {};

TEST_P(TransferTimerScript, EndDue) {
    TransferTimer timer(kQuiet);
    int index = 0;
    for (const Step& step : GetParam().steps) {
        if (step.event == 'q' || step.event == 'w') timer.lineAdded();
        if (step.event == 'q' || step.event == 'r') timer.callerLeft(at(step.ms));
        if (step.event == 'e') timer.transferEnded();
        EXPECT_EQ(timer.endDue(at(step.ms)), step.endDue)
            << "step " << index << " at " << step.ms << " ms";
        ++index;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Timing, TransferTimerScript,
    ::testing::Values(
        Script{"nothing added, nothing due", {{'-', 0, false}, {'-', 10000, false}}},
        Script{"the transfer ends 50 ms after the caller left",
               {{'q', 0, false},
                {'-', 49, false},
                {'-', 50, true},
                {'e', 50, false},
                {'-', 5000, false}}},
        Script{"a steady caller keeps the transfer open",
               {{'q', 0, false}, {'q', 40, false}, {'-', 89, false}, {'-', 90, true}}},
        Script{"a caller waiting inside for a slow KiCad has not stopped, however long it waits",
               {{'q', 0, false},
                {'q', 1, false},
                {'w', 2, false},
                {'-', 480, false},
                {'r', 500, false},
                {'q', 501, false},
                {'-', 550, false},
                {'-', 551, true}}},
        Script{"the quiet after a wait counts from the return, not from the line",
               {{'w', 0, false},
                {'-', 300, false},
                {'r', 300, false},
                {'-', 349, false},
                {'-', 350, true}}},
        Script{"after the end a new line opens a new transfer",
               {{'q', 0, false},
                {'e', 300, false},
                {'q', 400, false},
                {'-', 449, false},
                {'-', 450, true}}}),
    [](const ::testing::TestParamInfo<Script>& info) {
        return "case" + std::to_string(info.index);
    });

TEST(TransferTimer, TheDeadlineOfTheTransfersEndAndItsLineCount) {
    TransferTimer timer(kQuiet);
    EXPECT_FALSE(timer.nextDeadline());
    timer.lineAdded();
    timer.lineAdded();
    EXPECT_FALSE(timer.nextDeadline()) << "the caller is inside: no end to wait for";
    timer.callerLeft(at(13));
    EXPECT_EQ(timer.nextDeadline(), at(63)) << "the quiet time after the caller left";
    timer.lineAdded();
    EXPECT_EQ(timer.linesInTransfer(), 3u);
    timer.transferEnded();
    EXPECT_FALSE(timer.nextDeadline());
    EXPECT_EQ(timer.linesInTransfer(), 0u);
    EXPECT_FALSE(timer.transferOpen());
}

}  // namespace
