#include "dbx-kicad/transfer_timer.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

using bitlay::kicad::TransferPolicy;
using bitlay::kicad::TransferTimer;
using Action = TransferTimer::Action;
using std::chrono::milliseconds;

// A small policy, so that a table can fill a batch: 3 lines, 50 ms.
constexpr TransferPolicy kPolicy{3, milliseconds(50)};

const TransferTimer::TimePoint kStart{};

TransferTimer::TimePoint at(int ms) { return kStart + milliseconds(ms); }

const char* name(Action action) {
    switch (action) {
        case Action::kNone:
            return "none";
        case Action::kSendBatch:
            return "send";
        case Action::kEndTransfer:
            return "end";
    }
    return "?";
}

// One step: 'q' a line queued by a caller that returns at once, 'w' one queued by a caller that
// then waits inside (for KiCad), 'r' that caller returning, 's' the batch sent, 'e' the transfer
// ended; then what is due.
struct Step {
    char event;
    int ms;
    Action due;
};

struct Script {
    const char* what;
    std::vector<Step> steps;
};

void PrintTo(const Script& script, std::ostream* out) { *out << script.what; }

class TransferTimerScript : public ::testing::TestWithParam<Script> {};

TEST_P(TransferTimerScript, DueActions) {
    TransferTimer batcher(kPolicy);
    int index = 0;
    for (const Step& step : GetParam().steps) {
        if (step.event == 'q' || step.event == 'w') batcher.lineQueued();
        if (step.event == 'q' || step.event == 'r') batcher.callerLeft(at(step.ms));
        if (step.event == 's') batcher.batchSent();
        if (step.event == 'e') batcher.transferEnded();
        EXPECT_STREQ(name(batcher.due(at(step.ms))), name(step.due))
            << "step " << index << " at " << step.ms << " ms";
        ++index;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Timing, TransferTimerScript,
    ::testing::Values(
        Script{"nothing queued, nothing due",
               {{'-', 0, Action::kNone}, {'-', 10000, Action::kNone}}},
        Script{
            "queued lines go as soon as the sender is free",
            {{'q', 0, Action::kSendBatch}, {'q', 0, Action::kSendBatch}, {'s', 0, Action::kNone}}},
        Script{"the transfer ends 50 ms after the caller left, not after the last batch",
               {{'q', 0, Action::kSendBatch},
                {'s', 5, Action::kNone},
                {'-', 49, Action::kNone},
                {'-', 50, Action::kEndTransfer},
                {'e', 50, Action::kNone},
                {'-', 5000, Action::kNone}}},
        Script{"a steady caller keeps the transfer open",
               {{'q', 0, Action::kSendBatch},
                {'s', 5, Action::kNone},
                {'q', 40, Action::kSendBatch},
                {'s', 45, Action::kNone},
                {'-', 89, Action::kNone},
                {'-', 90, Action::kEndTransfer}}},
        Script{"lines still waiting go before the transfer ends",
               {{'q', 0, Action::kSendBatch},
                {'-', 1000, Action::kSendBatch},
                {'s', 1000, Action::kEndTransfer}}},
        Script{"a caller waiting inside for a slow KiCad has not stopped, however long it waits",
               {{'q', 0, Action::kSendBatch},
                {'q', 1, Action::kSendBatch},
                {'w', 2, Action::kSendBatch},
                {'s', 450, Action::kNone},
                {'-', 480, Action::kNone},
                {'r', 500, Action::kNone},
                {'q', 501, Action::kSendBatch},
                {'s', 506, Action::kNone},
                {'-', 550, Action::kNone},
                {'-', 551, Action::kEndTransfer}}},
        Script{"the quiet after a wait counts from the return, not from the line",
               {{'w', 0, Action::kSendBatch},
                {'s', 5, Action::kNone},
                {'-', 300, Action::kNone},
                {'r', 300, Action::kNone},
                {'-', 349, Action::kNone},
                {'-', 350, Action::kEndTransfer}}},
        Script{"after the end a new line opens a new transfer",
               {{'q', 0, Action::kSendBatch},
                {'s', 5, Action::kNone},
                {'e', 300, Action::kNone},
                {'q', 400, Action::kSendBatch},
                {'s', 405, Action::kNone},
                {'-', 449, Action::kNone},
                {'-', 450, Action::kEndTransfer}}}),
    [](const ::testing::TestParamInfo<Script>& info) {
        return "case" + std::to_string(info.index);
    });

TEST(TransferTimer, AFullBatchTheDeadlineOfTheCommitsEndAndItsLineCount) {
    TransferTimer batcher(kPolicy);
    EXPECT_FALSE(batcher.nextDeadline());
    batcher.lineQueued();
    batcher.lineQueued();
    EXPECT_FALSE(batcher.full());
    batcher.lineQueued();
    EXPECT_TRUE(batcher.full()) << "the caller hands three lines over";
    EXPECT_FALSE(batcher.nextDeadline()) << "lines are queued: nothing to wait for";
    batcher.batchSent();
    EXPECT_FALSE(batcher.full());
    EXPECT_FALSE(batcher.nextDeadline()) << "the caller is inside: no end to wait for";
    batcher.callerLeft(at(13));
    EXPECT_EQ(batcher.nextDeadline(), at(63)) << "the quiet time after the caller left";
    batcher.lineQueued();
    EXPECT_EQ(batcher.linesInTransfer(), 4u);
    batcher.batchSent();
    batcher.transferEnded();
    EXPECT_FALSE(batcher.nextDeadline());
    EXPECT_EQ(batcher.linesInTransfer(), 0u);
    EXPECT_FALSE(batcher.transferOpen());
}

}  // namespace
