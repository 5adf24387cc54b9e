// The four exported functions: what they refuse, and which boards they open.

#include "dbx-kicad/dbx32.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "file_fixture.h"

using bitlay::dbx::LayerRecord8;
using namespace bitlay::kicad::test;

namespace {

struct RefusalCase {
    const char* label;
    LineRecord line;
    DbxStatusCode expected;
};

class Refusals : public DbxKicad, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(Refusals, WriteNothing) {
    ASSERT_EQ(openBoard(boardWithLayers(kTwoLayers)), 0);
    const std::string before = readFile(board_);
    LineRecord line = GetParam().line;
    EXPECT_EQ(TPlaceLine(&context_, &line), GetParam().expected);
    EXPECT_EQ(readFile(board_), before);
    LineRecord good = makeLine(1, 2540, 0, 0, 2540, 0);
    EXPECT_EQ(TPlaceLine(&context_, &good), 0);  // a refusal leaves the design usable
}

INSTANTIATE_TEST_SUITE_P(
    DbxKicad, Refusals,
    ::testing::Values(
        RefusalCase{"LayerZero", makeLine(0, 2540, 0, 0, 1, 0), kInvalidLayerId},
        RefusalCase{"LayerNegative", makeLine(-1, 2540, 0, 0, 1, 0), kInvalidLayerId},
        RefusalCase{"LayerPastTheLast", makeLine(3, 2540, 0, 0, 1, 0), kInvalidLayerId},
        RefusalCase{"LayerCheckedBeforeWidth", makeLine(3, 0, 0, 0, 1, 0), kInvalidLayerId},
        RefusalCase{"WidthZero", makeLine(1, 0, 0, 0, 1, 0), kInvalidWidth},
        RefusalCase{"WidthNegative", makeLine(1, -2540, 0, 0, 1, 0), kInvalidWidth},
        RefusalCase{"WidthCheckedBeforeWorkspace", makeLine(1, 0, INT_MAX, 0, 1, 0), kInvalidWidth},
        RefusalCase{"WidthTooWide", makeLine(1, kEdge + 1, 0, 0, 1, 0), kItemOutsideWorkspace},
        RefusalCase{"StartXPastTheEdge", makeLine(1, 1, kEdge + 1, 0, 1, 0), kItemOutsideWorkspace},
        RefusalCase{"StartYPastTheEdge", makeLine(1, 1, 0, -kEdge - 1, 1, 0),
                    kItemOutsideWorkspace},
        RefusalCase{"EndXMaximum", makeLine(1, 1, 0, 0, INT_MAX, 0), kItemOutsideWorkspace},
        RefusalCase{"EndYMinimum", makeLine(1, 1, 0, 0, 1, INT_MIN), kItemOutsideWorkspace}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(DbxKicad, CallsWithoutAnOpenDesignGiveNoConnection) {
    LineRecord line = makeLine(1, 2540, 0, 0, 2540, 0);
    LayerRecord8 layer{};
    EXPECT_EQ(TPlaceLine(&context_, &line), kNoConnection);  // never opened: all zero
    EXPECT_EQ(TGetLayerById(&context_, 1, &layer), kNoConnection);
    EXPECT_EQ(TCloseDesign(&context_, ""), kNoConnection);
    EXPECT_EQ(TPlaceLine(nullptr, &line), kNoConnection);

    DesignContext garbage;
    std::memset(garbage.bytes, 0xA7, sizeof garbage.bytes);
    EXPECT_EQ(TPlaceLine(&garbage, &line), kNoConnection);

    ASSERT_EQ(openBoard(boardWithLayers(kTwoLayers)), 0);
    EXPECT_EQ(TPlaceLine(&context_, nullptr), kBadInput);
    EXPECT_EQ(TGetLayerById(&context_, 1, nullptr), kBadInput);
    const DesignContext copy = context_;
    ASSERT_EQ(TCloseDesign(&context_, ""), 0);
    const std::string closed = readFile(board_);
    EXPECT_EQ(TPlaceLine(&context_, &line), kNoConnection);
    EXPECT_EQ(TGetLayerById(&context_, 1, &layer), kNoConnection);
    EXPECT_EQ(TCloseDesign(&context_, ""), kNoConnection);

    // A stale copy stays stale even once its slot holds another board.
    ASSERT_EQ(TOpenDesign(0, 16000, "", &context_), 0);
    DesignContext stale = copy;
    EXPECT_EQ(TPlaceLine(&stale, &line), kNoConnection);
    EXPECT_EQ(readFile(board_), closed);
}

struct OpenCase {
    const char* label;
    std::string text;
    DbxStatusCode expected;
};

class OpenResults : public DbxKicad, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(OpenResults, MatchTheFile) {
    EXPECT_EQ(openBoard(GetParam().text), GetParam().expected);
    if (GetParam().expected != 0) {
        EXPECT_EQ(readFile(board_), GetParam().text);
        LineRecord line = makeLine(1, 2540, 0, 0, 2540, 0);
        EXPECT_EQ(TPlaceLine(&context_, &line), kNoConnection);
        const int fd = open(board_.c_str(), O_RDWR);
        EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0) << "a refused attach keeps no lock";
        close(fd);
    }
}

INSTANTIATE_TEST_SUITE_P(
    DbxKicad, OpenResults,
    ::testing::Values(
        OpenCase{"Kicad6", boardWithLayers(kTwoLayers), 0},
        OpenCase{"Kicad5", boardWithLayers("(0 F.Cu signal) (31 B.Cu signal)", "20171130"), 0},
        OpenCase{"Kicad4", boardWithLayers("(0 F.Cu signal) (31 B.Cu signal)", "4"), 0},
        OpenCase{"Kicad7", boardWithLayers(kTwoLayers, "20221018"), 0},
        OpenCase{"Kicad8", boardWithLayers(kTwoLayers, "20240108"), 0},
        OpenCase{"Kicad9", boardWithLayers(R"((0 "F.Cu" signal) (2 "B.Cu" signal))", "20241229"),
                 0},
        OpenCase{"Kicad10", boardWithLayers(R"((0 "F.Cu" signal) (2 "B.Cu" signal))", "20260206"),
                 0},
        OpenCase{"OneVersionTooNew", boardWithLayers(kTwoLayers, "20260207"), kVersionIncompatible},
        OpenCase{"Empty", "", kBadServerData}, OpenCase{"Text", "hello world\n", kBadServerData},
        OpenCase{"Footprint", "(footprint \"R\" (version 20211014) (layer \"F.Cu\"))\n",
                 kBadServerData},
        OpenCase{"QuotedHead", "(\"kicad_pcb\" (version 20211014) (layers))", kBadServerData},
        OpenCase{"Unclosed", boardWithLayers(kTwoLayers).substr(0, 60), kBadServerData},
        OpenCase{"OneCloseTooMany", boardWithLayers(kTwoLayers) + ")", kBadServerData},
        OpenCase{"TrailingText", boardWithLayers(kTwoLayers) + "x\n", kBadServerData},
        OpenCase{"UnterminatedString", boardWithLayers("(0 \"F.Cu signal)"), kBadServerData},
        OpenCase{"LineBreakInString", boardWithLayers("(0 \"F.\nCu\" signal)"), kBadServerData},
        OpenCase{"NoVersion", "(kicad_pcb (layers " + kTwoLayers + "))", kBadServerData},
        OpenCase{"VersionNotANumber", boardWithLayers(kTwoLayers, "six"), kBadServerData},
        OpenCase{"NoLayers", "(kicad_pcb (version 20211014) (net 0 \"\"))", kBadServerData},
        OpenCase{"LayerEntryTooShort", boardWithLayers("(0 \"F.Cu\")"), kBadServerData},
        OpenCase{"EmptyLayers", boardWithLayers(""), kBadServerData},
        OpenCase{"DeeplyNested",
                 "(kicad_pcb (version 20211014) (layers " + kTwoLayers + ") " +
                     std::string(100000, '(') + std::string(100000, ')') + ")\n",
                 0},
        OpenCase{"DeeplyUnclosed",
                 "(kicad_pcb (version 20211014) (layers " + kTwoLayers + ") " +
                     std::string(100000, '(') + ")\n",
                 kBadServerData}),
    [](const auto& info) { return std::string(info.param.label); });

// Damaged boards are refused or read; either way the library neither crashes nor breaks the file.
TEST_F(DbxKicad, RandomlyDamagedBoardsAreRefusedOrKeptIntact) {
    const std::string good = boardWithLayers(R"((0 "F.Cu" signal "A \"q\"") (31 "B.Cu" signal))");
    const std::string alphabet = "()\"\\ \nx0";
    std::mt19937 random(6);
    for (int round = 0; round < 300; ++round) {
        std::string damaged = good;
        for (int k = 1 + round % 4; k > 0; --k) {
            const std::size_t at = random() % damaged.size();
            const char c = alphabet[random() % alphabet.size()];
            switch (random() % 3) {
                case 0:
                    damaged[at] = c;
                    break;
                case 1:
                    damaged.insert(at, 1, c);
                    break;
                default:
                    damaged.erase(at, 1);
                    break;
            }
        }
        const DbxStatusCode opened = openBoard(damaged);
        ASSERT_TRUE(opened == 0 || opened == kBadServerData || opened == kVersionIncompatible)
            << opened << "\n"
            << damaged;
        if (opened != 0) continue;
        LineRecord line = makeLine(1, 2540, 0, 0, 2540, 0);
        ASSERT_EQ(TPlaceLine(&context_, &line), 0);
        const std::string now = readFile(board_);
        const std::string kept = damaged.substr(0, damaged.rfind(')'));
        ASSERT_EQ(now.compare(0, kept.size(), kept), 0) << damaged;
        ASSERT_EQ(TCloseDesign(&context_, ""), 0);
    }
}

TEST_F(DbxKicad, MissingOrUnusableFilesCannotBeOpened) {
    EXPECT_EQ(TOpenDesign(0, 16000, "", &context_), kUnableToOpenFile);
    EXPECT_FALSE(fs::exists(board_));  // only the default board is ever created
    setenv("DBX_DESIGN", dir_.c_str(), 1);
    EXPECT_EQ(TOpenDesign(0, 16000, "", &context_), kUnableToOpenFile);
    EXPECT_EQ(TOpenDesign(0, 16000, "", nullptr), kBadInput);
}

}  // namespace

// An attach that waits for its KiCad holds up no other design: while one TOpenDesign waits for a
// KiCad that took the connection and says nothing, the calls into a board file attached before go
// on at once, and they return before that KiCad is let go.
TEST_F(DbxKicad, AnAttachWaitingForItsEditorHoldsUpNoOtherDesign) {
    ASSERT_EQ(openBoard(boardWithLayers(kTwoLayers)), 0);
    char folder[] = "/tmp/bitlay-silent-XXXXXX";  // short: a socket's path has 107 bytes
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const std::string socketPath = std::string(folder) + "/api.sock";
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);

    // Named as the KiCad that started a plugin is: that one, answering or not, and no other.
    ::unsetenv("DBX_DESIGN");
    ::setenv("KICAD_API_SOCKET", ("ipc://" + socketPath).c_str(), 1);
    DbxStatusCode waited = -1;
    std::thread waiting([&waited] {
        DesignContext other{};
        waited = TOpenDesign(0, 16000, "", &other);
        if (waited == 0) TCloseDesign(&other, "");
    });
    const int taken = ::accept(listener, nullptr, nullptr);  // the attach is waiting now
    EXPECT_GE(taken, 0);

    const auto start = std::chrono::steady_clock::now();
    LayerRecord8 layer{};
    EXPECT_EQ(TGetLayerById(&context_, 1, &layer), 0);
    LineRecord line = makeLine(1, 2540, 0, 0, 2540, 0);
    EXPECT_EQ(TPlaceLine(&context_, &line), 0);
    // Held up, they would return only once the attach gave up, a minute from now.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));

    ::close(taken);  // the KiCad goes away
    waiting.join();
    EXPECT_EQ(waited, kServerTerminated);
    ::close(listener);
    ::unsetenv("KICAD_API_SOCKET");
    ::unlink(socketPath.c_str());
    ::rmdir(folder);
}
