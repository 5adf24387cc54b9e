// The live link when the desktop misbehaves: a KiCad busy with a tool, a Bitlay killed
// mid-transfer, a KiCad stopped, a KiCad held up by a dialog, a KiCad killed.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "live_fixture.h"

using namespace bitlay::kicad::test;

namespace {

// A KiCad busy with a tool takes nothing: a transfer that finds it so is refused whole, and the
// user is the one to end the tool. Once they have, the same transfer goes in whole, one undo step.
TEST_F(Live, ATransferIntoAKicadBusyWithAToolIsRefusedWholeAndGoesInOnceTheToolEnds) {
    ASSERT_EQ(TOpenDesign(0, 16000, "", &context_), 0);
    const long before = pcbnew().shapeCount();
    ASSERT_TRUE(pcbnew().runAction("pcbnew.InteractiveDrawing.line"));
    const auto transfer = [&](DbxStatusCode want) {
        int unlike = 0;
        for (int i = 0; i < 3000; ++i) {
            LineRecord line = makeLine(9, 2540, (i % 300) * 5080, 900000 + (i / 300) * 2540,
                                       (i % 300) * 5080 + 2540, 900000 + (i / 300) * 2540);
            if (TPlaceLine(&context_, &line) != want) ++unlike;
        }
        return unlike;
    };
    EXPECT_EQ(transfer(status::kServerBusy), 0) << "lines not refused as busy";

    // As a person would: Esc, and once more while the tool is still there.
    bool free = false;
    for (int press = 0; press < 3 && !free; ++press) {
        ASSERT_TRUE(pcbnew().pressKeys("Escape"));
        for (int poll = 0; poll < 20 && !free; ++poll) {
            free = pcbnew().shapeCount() >= 0;
            if (!free) std::this_thread::sleep_for(100ms);
        }
    }
    ASSERT_TRUE(free) << "KiCad is still busy with its tool";
    EXPECT_EQ(pcbnew().shapeCount(), before) << "nothing of the refused transfer is there";
    EXPECT_EQ(transfer(0), 0) << "lines refused once the tool ended";
    EXPECT_TRUE(eventually([&] { return pcbnew().shapeCount() == before + 3000; }));
    ASSERT_TRUE(pcbnew().undo());
    EXPECT_TRUE(eventually([&] { return pcbnew().shapeCount() == before; })) << "one undo step";
    EXPECT_EQ(TCloseDesign(&context_, ""), 0);
}

// A Bitlay killed in the middle of a transfer leaves KiCad's commit for it open; the next Bitlay
// ends it before its own first commit, so it places every line and none of the dead one's. The
// doomed Bitlay is a process of its own, as a real one is.
TEST_F(Live, ABitlayKilledMidTransferDoesNotLockTheNextOneOut) {
    const long before = pcbnew().shapeCount();
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const std::string caller = std::string(BITLAY_BIN_DIR) + "/live_caller";
    char* const argv[] = {const_cast<char*>(caller.c_str()), const_cast<char*>("1000"),
                          const_cast<char*>("2800"), nullptr};
    pid_t doomed = -1;
    const int spawned = posix_spawn(&doomed, caller.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    ASSERT_EQ(spawned, 0) << caller;
    char said[16] = {};
    const bool placed = read(out[0], said, sizeof said - 1) > 0 && std::string(said) == "placed\n";
    ::kill(doomed, SIGKILL);
    waitpid(doomed, nullptr, 0);
    close(out[0]);
    ASSERT_TRUE(placed) << "the first Bitlay did not get its lines placed";

    ASSERT_EQ(TOpenDesign(0, 16000, "", &context_), 0);
    const auto expected = placeTransfer(context_, 3000, 400);
    EXPECT_EQ(TCloseDesign(&context_, ""), 0);
    EXPECT_EQ(pcbnew().shapeCount(), before + 3000) << "the dead one's lines stay out";
    EXPECT_EQ(toText(pcbnew().selectedSegments()), toText(expected));
}

// A KiCad that stops answering for longer than half a minute while a transfer is on its way
// (swapped out, or busy on a long zone fill) is waited for: once it goes on, every line reported
// placed is there. The user's next transfer, begun while KiCad is still stopped, waits for it
// and stays its own undo step.
TEST_F(Live, AKicadPausedLongerThanHalfAMinuteLosesNothingAndKeepsTransfersApart) {
    ASSERT_EQ(TOpenDesign(0, 16000, "", &context_), 0);
    const long before = pcbnew().shapeCount();
    LineRecord first = makeLine(9, 2540, 0, 800000, 1300, 800000);
    ASSERT_EQ(TPlaceLine(&context_, &first), 0) << "the commit is open";
    pcbnew().pause(true);
    const auto paused = std::chrono::steady_clock::now();
    std::thread resume([this] {
        std::this_thread::sleep_for(35s);
        pcbnew().pause(false);
    });
    placeTransfer(context_, 4999, 320);
    std::this_thread::sleep_for(kTransferOver);  // the user picks the next colour
    placeTransfer(context_, 2000, 360);
    const auto waited = std::chrono::steady_clock::now() - paused;
    resume.join();
    EXPECT_GE(waited, 35s) << "the second transfer's first line waited for KiCad";
    EXPECT_TRUE(eventually([&] { return pcbnew().shapeCount() == before + 7000; }));
    ASSERT_TRUE(pcbnew().undo());
    EXPECT_TRUE(eventually([&] { return pcbnew().shapeCount() == before + 5000; }))
        << "the second transfer is one undo step";
    ASSERT_TRUE(pcbnew().undo());
    EXPECT_TRUE(eventually([&] { return pcbnew().shapeCount() == before; }))
        << "the first transfer is one undo step";
    EXPECT_EQ(TCloseDesign(&context_, ""), 0);
}

class LiveNotReady : public LiveOwnPcbnew {};
class LiveKilled : public LiveOwnPcbnew {};

TEST_F(LiveNotReady, AKicadHeldUpByADialogIsRefusedAfterAShortWait) {
    const auto blocked = startOwn(true);
    ASSERT_TRUE(blocked);

    DesignContext context{};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(TOpenDesign(0, 16000, "", &context), status::kServerBusy);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 2500ms) << "KiCad is given a moment to become ready";
    EXPECT_LT(waited, 6s) << "but not forever";
    EXPECT_EQ(TCloseDesign(&context, ""), status::kNoConnection) << "nothing was attached";
}

// A KiCad that goes away while attaching waits for it (stopped, then killed) is reported gone at
// once, not after the wait for an answer.
TEST_F(LiveKilled, AKicadKilledWhileWaitedForAtAttachIsServerTerminatedAtOnce) {
    auto doomed = startOwn();
    ASSERT_TRUE(doomed);

    doomed->pause(true);
    DesignContext context{};
    auto opened =
        std::async(std::launch::async, [&] { return TOpenDesign(0, 16000, "", &context); });
    EXPECT_EQ(opened.wait_for(2s), std::future_status::timeout) << "a stopped KiCad is waited for";
    doomed->kill();
    const auto killed = std::chrono::steady_clock::now();
    ASSERT_EQ(opened.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(opened.get(), status::kServerTerminated);
    EXPECT_LT(std::chrono::steady_clock::now() - killed, 2s) << "noticed at once";
    EXPECT_EQ(TCloseDesign(&context, ""), status::kNoConnection) << "nothing was attached";
}

TEST_F(LiveKilled, AKicadKilledMidTransferTurnsEveryStatusNonZeroAndNothingHangs) {
    auto doomed = startOwn();
    ASSERT_TRUE(doomed);

    DesignContext context{};
    ASSERT_EQ(TOpenDesign(0, 16000, "", &context), 0);
    int placed = 0;
    for (; placed < 5000; ++placed) {
        LineRecord line = makeLine(1, 2540, (placed % 300) * 2540, (placed / 300) * 2540,
                                   (placed % 300) * 2540 + 1300, (placed / 300) * 2540);
        ASSERT_EQ(TPlaceLine(&context, &line), 0) << placed;
    }
    doomed->kill();
    const auto killed = std::chrono::steady_clock::now();
    // kill() returns once pcbnew has ended and its socket is closed. The library notices as
    // soon as the connection drops; every status after that says so. The
    // transfer's lines were in KiCad's open commit or still on their way: a killed KiCad loses
    // its whole unsaved board, and the close says that lines were lost.
    DbxStatusCode status = 0;
    for (int i = 0; status == 0 && std::chrono::steady_clock::now() - killed < 10s; ++i) {
        LineRecord line = makeLine(1, 2540, 0, i % 1000, 1300, i % 1000);
        status = TPlaceLine(&context, &line);
    }
    EXPECT_EQ(status, status::kServerTerminated);
    EXPECT_LT(std::chrono::steady_clock::now() - killed, 2s) << "noticed at once";
    for (int i = 0; i < 3; ++i) {
        LineRecord line = makeLine(1, 2540, 0, 0, 1300, 0);
        EXPECT_EQ(TPlaceLine(&context, &line), status::kServerTerminated);
    }
    EXPECT_EQ(TCloseDesign(&context, ""), status::kServerTerminated) << "queued lines were lost";
    // The dropped connection, not a timeout, ended it.
    EXPECT_LT(std::chrono::steady_clock::now() - killed, 5s);
}
}  // namespace
