#include "dbx-kicad/dbx32.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <functional>
#include <random>
#include <set>
#include <sstream>
#include <string>

#include "file_fixture.h"

using bitlay::dbx::LayerRecord8;
using namespace bitlay::kicad::test;

namespace {

TEST_F(DbxKicad, NewDefaultBoardHasKicadsTwoLayerSetUp) {
    unsetenv("DBX_DESIGN");
    fs::current_path(dir_);
    ASSERT_EQ(TOpenDesign(0, 16000, "", &context_), 0);
    const fs::path created = dir_ / "untitled.kicad_pcb";
    const std::string text = readFile(created);
    const auto board = parseForm(text);
    ASSERT_TRUE(board) << text;
    EXPECT_EQ(board->items[0].text, "kicad_pcb");
    ASSERT_NE(board->child("version"), nullptr);
    EXPECT_EQ(board->child("version")->items[1].text, "20241229");
    ASSERT_NE(board->child("generator_version"), nullptr);
    EXPECT_EQ(board->child("generator_version")->items[1].text, "9.0");
    EXPECT_NE(board->child("setup"), nullptr);
    EXPECT_EQ(board->items.back().items[0].text, "embedded_fonts");
    EXPECT_EQ(text.substr(0, 30), "(kicad_pcb\n\t(version 20241229)");

    // KiCad 9's order of a new board's layers, user names where it gives them.
    const std::vector<std::string> expected = {
        "F.Cu",          "B.Cu",          "F.Adhesive",   "B.Adhesive", "F.Paste",
        "B.Paste",       "F.Silkscreen",  "B.Silkscreen", "F.Mask",     "B.Mask",
        "User.Drawings", "User.Comments", "User.Eco1",    "User.Eco2",  "Edge.Cuts",
        "Margin",        "F.Courtyard",   "B.Courtyard",  "F.Fab",      "B.Fab",
        "User.1",        "User.2",        "User.3",       "User.4"};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        DbxStatusCode status = -1;
        EXPECT_EQ(layerName(context_, static_cast<std::int32_t>(i + 1), &status), expected[i]);
        EXPECT_EQ(status, 0);
    }
    DbxStatusCode status = 0;
    layerName(context_, 25, &status);
    EXPECT_EQ(status, kNoMoreLayers);
    layerName(context_, 0, &status);
    EXPECT_EQ(status, kInvalidLayerId);

    // Placed on B.Silkscreen, the line names the layer by its canonical name, in KiCad 9's
    // layout, inside its footprint, before (embedded_fonts no).
    LineRecord line = makeLine(8, 2540, 0, 0, 2540, 0);
    ASSERT_EQ(TPlaceLine(&context_, &line), 0);
    const std::string placed = readFile(created);
    EXPECT_NE(placed.find("\t\t\t(layer \"B.SilkS\")\n"), std::string::npos) << placed;
    EXPECT_EQ(placed.substr(placed.size() - 26), "\t)\n\t(embedded_fonts no)\n)\n");
    ASSERT_EQ(TCloseDesign(&context_, ""), 0);

    // The second run finds the board it made and keeps it.
    const std::string afterFirstRun = readFile(created);
    ASSERT_EQ(TOpenDesign(0, 16000, "", &context_), 0);
    EXPECT_EQ(readFile(created), afterFirstRun);
    EXPECT_EQ(TCloseDesign(&context_, ""), 0);
}

struct LayerNameCase {
    const char* label;
    std::string entry;
    std::string expected;  // the whole 100-byte field up to its padding
};

class LayerNames : public DbxKicad, public ::testing::WithParamInterface<LayerNameCase> {};

TEST_P(LayerNames, AreTheUserNameElseTheCanonicalNameInLatin1) {
    ASSERT_EQ(openBoard(boardWithLayers(GetParam().entry + R"( (31 "B.Cu" signal))")), 0);
    LayerRecord8 record{};
    std::memset(&record, 0x5A, sizeof record);
    ASSERT_EQ(TGetLayerById(&context_, 1, &record), 0);
    std::string field(GetParam().expected);
    field.resize(sizeof record.layerName, '\0');
    EXPECT_EQ(std::string(record.layerName, sizeof record.layerName), field);
    EXPECT_EQ(record.reserved0, 0x5A5A5A5A);  // only the name is the library's to fill
    EXPECT_EQ(record.reserved[10], 0x5A5A5A5A);
    DbxStatusCode status = 0;
    EXPECT_EQ(layerName(context_, 2, &status), "B.Cu");
    layerName(context_, 3, &status);
    EXPECT_EQ(status, kNoMoreLayers);
}

INSTANTIATE_TEST_SUITE_P(
    DbxKicad, LayerNames,
    ::testing::Values(LayerNameCase{"Canonical", R"((0 "F.Cu" signal))", "F.Cu"},
                      LayerNameCase{"UserName", R"((0 "F.Cu" signal "Top side"))", "Top side"},
                      LayerNameCase{"Unquoted", R"((0 F.Cu signal))", "F.Cu"},
                      LayerNameCase{"OldHide", R"((0 F.Cu signal hide))", "F.Cu"},
                      LayerNameCase{"EmptyUserName", R"((0 "F.Cu" signal ""))", "F.Cu"},
                      LayerNameCase{"Escapes", R"((0 "F.Cu" signal "Say \"hi\" \\ ok"))",
                                    "Say \"hi\" \\ ok"},
                      LayerNameCase{"OctalAndHex", R"((0 "F.Cu" signal "\101\x42\tC"))", "AB\tC"},
                      LayerNameCase{"Latin1", "(0 \"F.Cu\" signal \"L\xC3\xB6tseite \xC2\xB5\")",
                                    "L\xF6tseite \xB5"},
                      LayerNameCase{"BeyondLatin1",
                                    "(0 \"F.Cu\" signal \"\xE6\x97\xA5\xE6\x9C\xAC Cu\")", "?? Cu"},
                      LayerNameCase{"BrokenUtf8", "(0 \"F.Cu\" signal \"a\xC3(b\xFF\")", "a?(b?"},
                      LayerNameCase{"LongNameFillsTheField",
                                    "(0 \"F.Cu\" signal \"" + std::string(120, 'n') + "\")",
                                    std::string(100, 'n')}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(DbxKicad, LayerNameInAnItemIsQuotedWithKicadsEscapes) {
    ASSERT_EQ(openBoard(boardWithLayers(R"((0 "My \"odd\" \\ layer" signal "Odd"))")), 0);
    EXPECT_EQ(layerName(context_, 1), "Odd");
    LineRecord line = makeLine(1, 2540, 0, 0, 2540, 0);
    ASSERT_EQ(TPlaceLine(&context_, &line), 0);
    EXPECT_NE(readFile(board_).find(R"((layer "My \"odd\" \\ layer"))"), std::string::npos);
    const auto lines = linesOnDisk();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].layer, "My \"odd\" \\ layer");
}

struct NumberCase {
    std::int32_t units;
    const char* text;
};

class Numbers : public DbxKicad, public ::testing::WithParamInterface<NumberCase> {};

// A line from the origin to (v, -v): its footprint's anchor is its start, its end relative to it.
TEST_P(Numbers, AreMillimetresWithYNegated) {
    ASSERT_EQ(openBoard(boardWithLayers(kTwoLayers)), 0);
    const std::int32_t v = GetParam().units;
    LineRecord line = makeLine(2, v > 0 ? v : 1, 0, 0, v, -v);
    ASSERT_EQ(TPlaceLine(&context_, &line), 0);
    const std::string text = readFile(board_);
    const std::string t = GetParam().text;
    EXPECT_NE(text.find("(start 0 0) (end " + t + " " + t + ")"), std::string::npos) << text;
}

INSTANTIATE_TEST_SUITE_P(DbxKicad, Numbers,
                         ::testing::Values(NumberCase{0, "0"}, NumberCase{1, "0.00001"},
                                           NumberCase{-1, "-0.00001"}, NumberCase{1300, "0.013"},
                                           NumberCase{2540, "0.0254"}, NumberCase{-2540, "-0.0254"},
                                           NumberCase{99999, "0.99999"}, NumberCase{100000, "1"},
                                           NumberCase{-100000, "-1"},
                                           NumberCase{123456789, "1234.56789"},
                                           NumberCase{kEdge, "1500"}, NumberCase{-kEdge, "-1500"}),
                         [](const auto& info) {
                             const std::int32_t v = info.param.units;
                             return (v < 0 ? "Minus" : "Units") + std::to_string(v < 0 ? -v : v);
                         });

TEST_F(DbxKicad, RandomLinesReadBackExactly) {
    ASSERT_EQ(openBoard(boardWithLayers(kTwoLayers)), 0);
    std::mt19937 random(20211014);
    std::uniform_int_distribution<std::int32_t> coordinate(-kEdge, kEdge);
    std::uniform_int_distribution<std::int32_t> width(1, kEdge);
    std::vector<GrLine> expected;
    for (int i = 0; i < 2000; ++i) {
        const std::int32_t layer = 1 + i % 2;
        LineRecord line = makeLine(layer, width(random), coordinate(random), coordinate(random),
                                   coordinate(random), coordinate(random));
        ASSERT_EQ(TPlaceLine(&context_, &line), 0);
        expected.push_back({line.startX, -std::int64_t{line.startY}, line.endX,
                            -std::int64_t{line.endY}, line.width, layer == 1 ? "F.Cu" : "B.Cu",
                            ""});
    }
    ASSERT_EQ(TCloseDesign(&context_, ""), 0);
    EXPECT_EQ(describe(linesOnDisk()), describe(expected));
}

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
        RefusalCase{"WidthTooWide", makeLine(1, kEdge + 1, 0, 0, 1, 0), kOutsideWorkspace},
        RefusalCase{"StartXPastTheEdge", makeLine(1, 1, kEdge + 1, 0, 1, 0), kOutsideWorkspace},
        RefusalCase{"StartYPastTheEdge", makeLine(1, 1, 0, -kEdge - 1, 1, 0), kOutsideWorkspace},
        RefusalCase{"EndXMaximum", makeLine(1, 1, 0, 0, INT_MAX, 0), kOutsideWorkspace},
        RefusalCase{"EndYMinimum", makeLine(1, 1, 0, 0, 1, INT_MIN), kOutsideWorkspace}),
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

struct TailCase {
    const char* label;
    std::string board;
};

class Durability : public DbxKicad, public ::testing::WithParamInterface<TailCase> {};

TEST_P(Durability, EveryCallLeavesAValidBoardAndKeepsEveryEarlierByte) {
    ASSERT_EQ(openBoard(GetParam().board), 0);
    const std::string original = readFile(board_);
    const std::string kept = original.substr(0, original.rfind(')'));
    for (int i = 0; i < 40; ++i) {
        LineRecord line = makeLine(1, 2540, i * 2540, 0, i * 2540 + 2540, 0);
        ASSERT_EQ(TPlaceLine(&context_, &line), 0);
        const std::string now = readFile(board_);
        ASSERT_EQ(now.compare(0, kept.size(), kept), 0) << now;
        ASSERT_EQ(linesOnDisk().size(), static_cast<std::size_t>(i + 1));
        ASSERT_EQ(now.substr(now.size() - 3), "\n)\n") << now;
    }
    ASSERT_EQ(TCloseDesign(&context_, ""), 0);
    EXPECT_EQ(linesOnDisk().size(), 40u);
    const std::string text = readFile(board_);
    EXPECT_EQ(text.find(")  ("), std::string::npos) << text;  // each item on its own line
    // Every line inside a footprint, no line or group of its own.
    EXPECT_EQ(text.find("(gr_line"), std::string::npos);
    EXPECT_EQ(text.find("(group"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    DbxKicad, Durability,
    ::testing::Values(
        TailCase{"KicadsOwnLayout", boardWithLayers(kTwoLayers)},
        TailCase{"NoFinalLineBreak", "(kicad_pcb (version 20211014) (layers " + kTwoLayers + "))"},
        TailCase{"LongTrailingSpace", "(kicad_pcb (version 20211014)\n (layers " + kTwoLayers +
                                          ")\n)" + std::string(300, '\n')}),
    [](const auto& info) { return std::string(info.param.label); });

// The writer pauses after its first thousand lines, until that transfer's footprint is named in the
// board, then starts a second transfer and is killed in the middle of it: that transfer's
// footprint holds every line reported placed, maybe without its name.
TEST_F(DbxKicad, KilledWriterLosesNoConfirmedLine) {
    writeFile(board_, boardWithLayers(kTwoLayers));
    int pipeFds[2];
    int goOn[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    ASSERT_EQ(pipe(goOn), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(pipeFds[0]);
        close(goOn[1]);
        DesignContext context{};
        if (TOpenDesign(0, 16000, "", &context) != 0) _exit(2);
        for (std::int32_t i = 0; i < 2000000; ++i) {
            LineRecord line = makeLine(1, 2540, i, 0, i + 1300, 0);
            if (TPlaceLine(&context, &line) != 0) _exit(3);
            if (write(pipeFds[1], &i, sizeof i) != sizeof i) _exit(4);
            char go = 0;
            if (i == 999 && read(goOn[0], &go, 1) != 1) _exit(6);
        }
        _exit(5);
    }
    close(pipeFds[1]);
    close(goOn[0]);
    std::int32_t confirmed = -1;
    std::int32_t value = 0;
    while (confirmed < 999 && read(pipeFds[0], &value, sizeof value) == sizeof value) {
        confirmed = value;
    }
    const bool named = waitForNamed(1);
    EXPECT_EQ(write(goOn[1], "g", 1), 1);
    close(goOn[1]);
    while (confirmed < 3000 && read(pipeFds[0], &value, sizeof value) == sizeof value) {
        confirmed = value;
    }
    kill(child, SIGKILL);
    int waitStatus = 0;
    waitpid(child, &waitStatus, 0);
    while (read(pipeFds[0], &value, sizeof value) == sizeof value) confirmed = value;
    close(pipeFds[0]);
    ASSERT_TRUE(WIFSIGNALED(waitStatus)) << "the writer ended on its own: " << waitStatus;
    ASSERT_GE(confirmed, 3000);

    const auto lines = linesOnDisk();
    ASSERT_GE(lines.size(), static_cast<std::size_t>(confirmed) + 1);
    for (std::int32_t i = 0; i <= confirmed; ++i) ASSERT_EQ(lines[i].startX, i);
    ASSERT_TRUE(named) << "the first transfer's footprint was never named";
    std::string first = "Bitlay: 1,000 lines:";
    for (int i = 0; i < 1000; ++i) first += " " + std::to_string(i);
    const std::string described = footprintsDescribed();
    EXPECT_EQ(described.substr(0, described.find('\n') + 1), first + "\n");
    EXPECT_EQ(described.find("(malformed)"), std::string::npos) << described;
    EXPECT_EQ(grLines(*parseForm(readFile(board_))).size(), 0u);
    EXPECT_EQ(TOpenDesign(0, 16000, "", &context_), 0);  // the lock died with the writer
}

TEST_F(DbxKicad, AnAttachedDesignIsLocked) {
    writeFile(board_, boardWithLayers(kTwoLayers));
    ASSERT_EQ(TOpenDesign(0, 16000, "", &context_), 0);
    DesignContext second{};
    EXPECT_EQ(TOpenDesign(0, 16000, "", &second), kServerBusy);
    EXPECT_EQ(TOpenDesign(0, 16000, "", &context_), kServerBusy);  // same context, same file
    const fs::path alias = dir_ / "alias.kicad_pcb";
    fs::create_hard_link(board_, alias);
    setenv("DBX_DESIGN", alias.c_str(), 1);
    EXPECT_EQ(TOpenDesign(0, 16000, "", &second), kServerBusy);

    const fs::path other = dir_ / "other.kicad_pcb";
    writeFile(other, boardWithLayers(kTwoLayers));
    setenv("DBX_DESIGN", other.c_str(), 1);
    EXPECT_EQ(TOpenDesign(0, 16000, "", &context_), kAlreadyConnected);
    setenv("DBX_DESIGN", board_.c_str(), 1);

    // Another process sees the lock.
    const pid_t child = fork();
    if (child == 0) {
        const int fd = open(board_.c_str(), O_RDWR);
        _exit(fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK ? 0 : 1);
    }
    int waitStatus = -1;
    waitpid(child, &waitStatus, 0);
    EXPECT_TRUE(WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == 0);

    ASSERT_EQ(TCloseDesign(&context_, ""), 0);
    EXPECT_EQ(TOpenDesign(0, 16000, "", &second), 0);
    EXPECT_EQ(TCloseDesign(&second, ""), 0);

    // And the library honours a lock held elsewhere.
    const int fd = open(board_.c_str(), O_RDWR);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(TOpenDesign(0, 16000, "", &context_), kServerBusy);
    close(fd);
    EXPECT_EQ(TOpenDesign(0, 16000, "", &context_), 0);
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

TEST_F(DbxKicad, NineAndTenReadEveryLayerForm) {
    for (const bool kicad10 : {false, true}) {
        ASSERT_EQ(openBoard(kicad9Board(kicad10)), 0);
        std::string names;
        DbxStatusCode status = 0;
        for (std::int32_t id = 1; status == 0; ++id) {
            const std::string name = layerName(context_, id, &status);
            if (status == 0) names += name + ";";
        }
        EXPECT_EQ(names, "F.Cu;B.Cu;B.Silkscreen;F.Silkscreen;Edge.Cuts;Logo;User.2;");
        LineRecord line = makeLine(6, 2540, 0, 0, 2540, 0);
        ASSERT_EQ(TPlaceLine(&context_, &line), 0);
        line = makeLine(7, 2540, 0, 0, 2540, 0);
        ASSERT_EQ(TPlaceLine(&context_, &line), 0);
        ASSERT_EQ(TCloseDesign(&context_, ""), 0);
        EXPECT_EQ(describe(linesOnDisk()),
                  "0,0 -> 2540,0 w2540 User.1\n0,0 -> 2540,0 w2540 User.2\n");
    }
}

TEST_F(DbxKicad, EveryItemGetsAFreshRandomUuid) {
    std::set<std::string> seen;
    for (const std::string& board : {kicad6Board(), kicad9Board()}) {
        for (int attach = 0; attach < 2; ++attach) {
            ASSERT_EQ(openBoard(board), 0);
            for (int i = 0; i < 1000; ++i) {
                LineRecord line = makeLine(1, 2540, i, 0, i + 2540, 0);
                ASSERT_EQ(TPlaceLine(&context_, &line), 0);
            }
            ASSERT_EQ(TCloseDesign(&context_, ""), 0);
            const auto lines = linesOnDisk();
            ASSERT_EQ(lines.size(), 1000u);
            for (const GrLine& line : lines) {
                ASSERT_TRUE(std::regex_match(line.uuid, kUuidV4)) << line.uuid;
            }
            // The lines', the footprints' and their fields' UUIDs: none twice.
            const std::string text = readFile(board_);
            std::size_t uuids = 0;
            for (auto it = std::sregex_iterator(text.begin(), text.end(), kUuidV4);
                 it != std::sregex_iterator(); ++it, ++uuids) {
                ASSERT_TRUE(seen.insert(it->str()).second) << "repeated: " << it->str();
            }
            EXPECT_GE(uuids, 1003u);
        }
    }
}

// Another program saving the board while it is attached, as an editor with the same board open
// does. Whatever it does, nothing it wrote and no line placed before or after is lost, and a line
// that cannot go in is refused with nothing written.
struct OtherProgram {
    std::function<void(const fs::path& board, int& heldLock)> save;
    DbxStatusCode nextPlacement;  // what the next TPlaceLine returns
};

struct SaveCase {
    const char* label;
    OtherProgram other;
};

// The other program's edit: a shorter or a longer title comment instead of the long one.
std::string edited(std::string text, std::size_t length) {
    const std::string from = "\"" + std::string(120, 'o') + "\"";
    const std::size_t at = text.find(from);
    if (at == std::string::npos) ADD_FAILURE() << "no title comment in\n" << text;
    return text.replace(at, from.size(), "\"edited" + std::string(length, 'e') + "\"");
}

void PrintTo(const SaveCase& saveCase, std::ostream* out) { *out << saveCase.label; }

class ExternalSave : public DbxKicad, public ::testing::WithParamInterface<SaveCase> {};

TEST_P(ExternalSave, LosesNothingAndCorruptsNothing) {
    const std::string original = R"((kicad_pcb (version 20211014) (generator pcbnew)
  (title_block (comment 1 ")" + std::string(120, 'o') +
                                 R"("))
  (layers (0 "F.Cu" signal) (31 "B.Cu" signal) (37 "F.SilkS" user "F.Silkscreen"))
  (net 0 "")
)
)";
    ASSERT_EQ(openBoard(original), 0);
    std::string expected;
    for (std::int32_t i = 0; i < 3; ++i) {
        LineRecord line = makeLine(3, 2540, i * 2540, 0, i * 2540 + 2540, 0);
        ASSERT_EQ(TPlaceLine(&context_, &line), 0);
        expected += describe({{i * 2540, 0, i * 2540 + 2540, 0, 2540, "F.SilkS", ""}});
    }

    int heldLock = -1;
    GetParam().other.save(board_, heldLock);
    const bool existed = fs::exists(board_);
    const std::string saved = existed ? readFile(board_) : "";
    LineRecord line = makeLine(3, 2540, 0, 25400, 2540, 25400);
    const DbxStatusCode next = TPlaceLine(&context_, &line);
    EXPECT_EQ(next, GetParam().other.nextPlacement);
    if (next != 0) {
        // Refused: not a byte written, nothing created.
        EXPECT_EQ(fs::exists(board_), existed);
        if (existed) {
            EXPECT_EQ(readFile(board_), saved);
        }
        // The other program puts a good board back; the next line goes in after its end.
        if (heldLock >= 0) {
            close(heldLock);
            heldLock = -1;
        } else {
            writeInPlace(board_, edited(readFile(dir_ / "kept.kicad_pcb"), 3));
        }
    } else {
        expected += describe({{0, -25400, 2540, -25400, 2540, "F.SilkS", ""}});
    }
    line = makeLine(3, 5080, 0, 50800, 5080, 50800);
    ASSERT_EQ(TPlaceLine(&context_, &line), 0);
    expected += describe({{0, -50800, 5080, -50800, 5080, "F.SilkS", ""}});
    ASSERT_EQ(TCloseDesign(&context_, ""), 0);

    const std::string text = readFile(board_);
    EXPECT_EQ(text.find('\0'), std::string::npos) << "NUL bytes in the board";
    EXPECT_NE(text.find("\"edited"), std::string::npos) << "the other program's edit is lost";
    EXPECT_EQ(text.find(std::string(120, 'o')), std::string::npos) << text;
    EXPECT_EQ(describe(linesOnDisk()), expected);
}

// Each case saves the board as it stands (with the three lines placed so far), edited.
OtherProgram editInPlace(std::size_t length) {
    return {[length](const fs::path& board, int&) {
                writeInPlace(board, edited(readFile(board), length));
            },
            0};
}

// The board as the other program had it before the three lines were placed: an editor that had
// the board open saves its own copy.
std::string withoutPlacedLines(const std::string& text) { return withoutForms(text, "footprint"); }

// The board as it was before the other program broke it, for the repair.
void keep(const fs::path& board) {
    fs::copy_file(board, board.parent_path() / "kept.kicad_pcb",
                  fs::copy_options::overwrite_existing);
}

INSTANTIATE_TEST_SUITE_P(
    DbxKicad, ExternalSave,
    ::testing::Values(
        SaveCase{"InPlaceShorter", editInPlace(0)}, SaveCase{"InPlaceLonger", editInPlace(400)},
        // Same size, same end: the checks pass and the line goes in after the edit.
        SaveCase{"InPlaceSameSize", editInPlace(114)},
        // Same size, same end, but no layers section left: the change time gives the save away.
        SaveCase{"InPlaceSameSizeBroken",
                 {[](const fs::path& board, int&) {
                      keep(board);
                      std::string text = readFile(board);
                      text[text.find("(layers")] = 'x';
                      writeInPlaceNoticeably(board, text);
                  },
                  kBadServerData}},
        SaveCase{
            "RenamedOver",
            {[](const fs::path& board, int&) { writeAndRename(board, edited(readFile(board), 0)); },
             0}},
        SaveCase{"InPlaceWithoutTheLinesPlaced",
                 {[](const fs::path& board, int&) {
                      writeInPlace(board, withoutPlacedLines(edited(readFile(board), 0)));
                  },
                  0}},
        SaveCase{"RenamedOverWithoutTheLinesPlaced",
                 {[](const fs::path& board, int&) {
                      writeAndRename(board, withoutPlacedLines(edited(readFile(board), 0)));
                  },
                  0}},
        SaveCase{"Truncated",
                 {[](const fs::path& board, int&) {
                      keep(board);
                      fs::resize_file(board, 0);
                  },
                  kBadServerData}},
        SaveCase{"CutShort",
                 {[](const fs::path& board, int&) {
                      keep(board);
                      const std::string text = readFile(board);
                      writeInPlace(board, text.substr(0, text.size() / 2));
                  },
                  kBadServerData}},
        SaveCase{"Deleted",
                 {[](const fs::path& board, int&) {
                      keep(board);
                      fs::remove(board);
                  },
                  kUnableToOpenFile}},
        SaveCase{"SavedByANewerKicad",
                 {[](const fs::path& board, int&) {
                      keep(board);
                      std::string text = edited(readFile(board), 0);
                      text.replace(text.find("20211014"), 8, "20270101");
                      writeInPlace(board, text);
                  },
                  kVersionIncompatible}},
        SaveCase{"LayerRemoved",
                 {[](const fs::path& board, int&) {
                      keep(board);
                      std::string text = readFile(board);
                      const std::string entry = R"( (37 "F.SilkS" user "F.Silkscreen"))";
                      text.erase(text.find(entry), entry.size());
                      writeInPlace(board, text);
                  },
                  kLayerNotFound}},
        SaveCase{"RenamedOverByALockedFile",
                 {[](const fs::path& board, int& heldLock) {
                      writeAndRename(board, edited(readFile(board), 0));
                      heldLock = open(board.c_str(), O_RDWR);
                      ASSERT_EQ(flock(heldLock, LOCK_EX | LOCK_NB), 0);
                  },
                  kServerBusy}}),
    [](const auto& info) { return std::string(info.param.label); });

// A save after the last line that drops the lines placed: they go in again when the design is
// let go; a board that is gone by then makes the close report it.
TEST_F(DbxKicad, LinesDroppedByASaveAfterTheLastOneGoInAgainAtClose) {
    ASSERT_EQ(openBoard(kicad6Board()), 0);
    const std::string before = readFile(board_);
    for (std::int32_t i = 0; i < 2; ++i) {
        LineRecord line = makeLine(1, 2540, i * 2540, 0, i * 2540 + 2540, 0);
        ASSERT_EQ(TPlaceLine(&context_, &line), 0);
    }
    writeAndRename(board_, before);
    ASSERT_EQ(TCloseDesign(&context_, ""), 0);
    EXPECT_EQ(linesOnDisk().size(), 2u);

    ASSERT_EQ(TOpenDesign(0, 16000, "", &context_), 0);
    LineRecord line = makeLine(1, 2540, 0, 0, 2540, 0);
    ASSERT_EQ(TPlaceLine(&context_, &line), 0);
    fs::remove(board_);
    EXPECT_EQ(TCloseDesign(&context_, ""), 32002);
}

TEST_F(DbxKicad, TheLockMovesToTheFileThatReplacedTheBoard) {
    ASSERT_EQ(openBoard(kicad6Board()), 0);
    LineRecord line = makeLine(1, 2540, 0, 0, 2540, 0);
    ASSERT_EQ(TPlaceLine(&context_, &line), 0);
    const int old = open(board_.c_str(), O_RDWR);
    writeAndRename(board_, readFile(board_));
    ASSERT_EQ(TPlaceLine(&context_, &line), 0);
    EXPECT_EQ(flock(old, LOCK_EX | LOCK_NB), 0) << "the replaced file is let go";
    close(old);
    const int now = open(board_.c_str(), O_RDWR);
    EXPECT_NE(flock(now, LOCK_EX | LOCK_NB), 0) << "the new file is locked";
    close(now);
    DesignContext second{};
    EXPECT_EQ(TOpenDesign(0, 16000, "", &second), kServerBusy);
    ASSERT_EQ(TCloseDesign(&context_, ""), 0);
    EXPECT_EQ(linesOnDisk().size(), 2u);
}

}  // namespace
