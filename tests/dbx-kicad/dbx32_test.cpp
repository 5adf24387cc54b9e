#include "dbx-kicad/dbx32.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "board_reader.h"

namespace fs = std::filesystem;
using bitlay::dbx::DbxStatusCode;
using bitlay::dbx::DesignContext;
using bitlay::dbx::LayerRecord8;
using bitlay::dbx::LineRecord;
using namespace bitlay::kicad::test;

namespace {

constexpr DbxStatusCode kNoConnection = 32105;
constexpr DbxStatusCode kServerBusy = 32106;
constexpr DbxStatusCode kAlreadyConnected = 32104;
constexpr DbxStatusCode kBadInput = 32122;
constexpr DbxStatusCode kNoMoreLayers = 32161;
constexpr DbxStatusCode kInvalidWidth = 32184;
constexpr DbxStatusCode kInvalidLayerId = 32198;
constexpr DbxStatusCode kOutsideWorkspace = 32232;
constexpr DbxStatusCode kUnableToOpenFile = 32239;
constexpr DbxStatusCode kBadServerData = 32003;
constexpr DbxStatusCode kVersionIncompatible = 32006;
constexpr std::int32_t kEdge = 150000000;  // 1500 mm

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string boardWithLayers(const std::string& layerEntries,
                            const std::string& version = "20211014") {
    return "(kicad_pcb (version " + version +
           ") (generator pcbnew)\n  (general (thickness 1.6))\n" + "  (layers\n    " +
           layerEntries + "\n  )\n  (net 0 \"\")\n)\n";
}

const std::string kTwoLayers = R"((0 "F.Cu" signal) (31 "B.Cu" signal))";

LineRecord makeLine(std::int32_t layerId, std::int32_t width, std::int32_t startX,
                    std::int32_t startY, std::int32_t endX, std::int32_t endY) {
    LineRecord line{};
    line.layerId = layerId;
    line.width = width;
    line.startX = startX;
    line.startY = startY;
    line.endX = endX;
    line.endY = endY;
    return line;
}

std::string layerName(DesignContext& context, std::int32_t id, DbxStatusCode* status = nullptr) {
    LayerRecord8 record{};
    const DbxStatusCode result = TGetLayerById(&context, id, &record);
    if (status) *status = result;
    return std::string(record.layerName, strnlen(record.layerName, sizeof record.layerName));
}

// Each test gets its own folder and its own DBX_DESIGN.
class DbxKicad : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/dbx-kicad-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        board_ = dir_ / "board.kicad_pcb";
        setenv("DBX_DESIGN", board_.c_str(), 1);
    }
    void TearDown() override {
        TCloseDesign(&context_, "");
        fs::current_path(startDir_);
        unsetenv("DBX_DESIGN");
        fs::remove_all(dir_);
    }
    DbxStatusCode openBoard(const std::string& text) {
        writeFile(board_, text);
        return TOpenDesign(0, 16000, "", &context_);
    }
    std::vector<GrLine> linesOnDisk() const {
        const auto board = parseForm(readFile(board_));
        if (!board) ADD_FAILURE() << "the board does not parse:\n" << readFile(board_);
        return board ? grLines(*board) : std::vector<GrLine>{};
    }

    const fs::path startDir_ = fs::current_path();
    fs::path dir_;
    fs::path board_;
    DesignContext context_{};
};

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
    EXPECT_EQ(board->child("version")->items[1].text, "20211014");
    ASSERT_NE(board->child("net"), nullptr);
    EXPECT_EQ(board->child("net")->items[2].text, "");
    EXPECT_NE(board->child("setup"), nullptr);

    const std::vector<std::string> expected = {
        "F.Cu",          "B.Cu",          "B.Adhesive",   "F.Adhesive", "B.Paste",
        "F.Paste",       "B.Silkscreen",  "F.Silkscreen", "B.Mask",     "F.Mask",
        "User.Drawings", "User.Comments", "User.Eco1",    "User.Eco2",  "Edge.Cuts",
        "Margin",        "B.Courtyard",   "F.Courtyard",  "B.Fab",      "F.Fab",
        "User.1",        "User.2",        "User.3",       "User.4",     "User.5",
        "User.6",        "User.7",        "User.8",       "User.9"};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        DbxStatusCode status = -1;
        EXPECT_EQ(layerName(context_, static_cast<std::int32_t>(i + 1), &status), expected[i]);
        EXPECT_EQ(status, 0);
    }
    DbxStatusCode status = 0;
    layerName(context_, 30, &status);
    EXPECT_EQ(status, kNoMoreLayers);
    layerName(context_, 0, &status);
    EXPECT_EQ(status, kInvalidLayerId);

    // Placed on B.Silkscreen, the item names the layer by its canonical name.
    LineRecord line = makeLine(7, 2540, 0, 0, 2540, 0);
    ASSERT_EQ(TPlaceLine(&context_, &line), 0);
    EXPECT_NE(readFile(created).find(R"((layer "B.SilkS"))"), std::string::npos);
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

TEST_P(Numbers, AreMillimetresWithYNegated) {
    ASSERT_EQ(openBoard(boardWithLayers(kTwoLayers)), 0);
    const std::int32_t v = GetParam().units;
    LineRecord line = makeLine(2, v > 0 ? v : 1, v, -v, v, -v);
    ASSERT_EQ(TPlaceLine(&context_, &line), 0);
    const std::string text = readFile(board_);
    const std::string t = GetParam().text;
    const std::string item = "(start " + t + " " + t + ") (end " + t + " " + t + ")";
    EXPECT_NE(text.find(item), std::string::npos) << text;
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
                            -std::int64_t{line.endY}, line.width, layer == 1 ? "F.Cu" : "B.Cu"});
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
    EXPECT_EQ(readFile(board_).find(")  (gr_line"), std::string::npos);  // each on its own line
}

INSTANTIATE_TEST_SUITE_P(
    DbxKicad, Durability,
    ::testing::Values(
        TailCase{"KicadsOwnLayout", boardWithLayers(kTwoLayers)},
        TailCase{"NoFinalLineBreak", "(kicad_pcb (version 20211014) (layers " + kTwoLayers + "))"},
        TailCase{"LongTrailingSpace", "(kicad_pcb (version 20211014)\n (layers " + kTwoLayers +
                                          ")\n)" + std::string(300, '\n')}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(DbxKicad, KilledWriterLosesNoConfirmedLine) {
    writeFile(board_, boardWithLayers(kTwoLayers));
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(pipeFds[0]);
        DesignContext context{};
        if (TOpenDesign(0, 16000, "", &context) != 0) _exit(2);
        for (std::int32_t i = 0; i < 2000000; ++i) {
            LineRecord line = makeLine(1, 2540, i, 0, i + 1300, 0);
            if (TPlaceLine(&context, &line) != 0) _exit(3);
            if (write(pipeFds[1], &i, sizeof i) != sizeof i) _exit(4);
        }
        _exit(5);
    }
    close(pipeFds[1]);
    std::int32_t confirmed = -1;
    std::int32_t value = 0;
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
        OpenCase{"Kicad7", boardWithLayers(kTwoLayers, "20221018"), kVersionIncompatible},
        OpenCase{"OneVersionTooNew", boardWithLayers(kTwoLayers, "20211015"), kVersionIncompatible},
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

// KiCad itself reads the board back, where its Python module is installed.
TEST_F(DbxKicad, KicadLoadsThePlacedLines) {
    if (std::system("python3 -c 'import pcbnew' >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "KiCad's Python module pcbnew is not installed";
    }
    ASSERT_EQ(openBoard(boardWithLayers(kTwoLayers)), 0);
    std::vector<LineRecord> placed = {makeLine(1, 2540, 0, 0, 25400, 0),
                                      makeLine(2, 5080, -kEdge, kEdge, kEdge, -kEdge),
                                      makeLine(1, 1, 12345, -67890, 12345 + 1300, -67890)};
    for (LineRecord& line : placed) ASSERT_EQ(TPlaceLine(&context_, &line), 0);
    ASSERT_EQ(TCloseDesign(&context_, ""), 0);

    const fs::path script = dir_ / "read.py";
    writeFile(script,
              "import pcbnew, sys\n"
              "board = pcbnew.LoadBoard(sys.argv[1])\n"
              "for d in board.GetDrawings():\n"
              "    s, e = d.GetStart(), d.GetEnd()\n"
              "    print(s.x, s.y, e.x, e.y, d.GetWidth(), d.GetLayerName())\n");
    const fs::path output = dir_ / "out.txt";
    const std::string command = "python3 '" + script.string() + "' '" + board_.string() + "' > '" +
                                output.string() + "' 2>/dev/null && sort -o '" + output.string() +
                                "' '" + output.string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::vector<std::string> expectedLines;
    for (const LineRecord& l : placed) {
        // KiCad counts in nanometres, ten to one database unit, y pointing down.
        expectedLines.push_back(
            std::to_string(l.startX * 10LL) + " " + std::to_string(-l.startY * 10LL) + " " +
            std::to_string(l.endX * 10LL) + " " + std::to_string(-l.endY * 10LL) + " " +
            std::to_string(l.width * 10LL) + " " + (l.layerId == 1 ? "F.Cu" : "B.Cu") + "\n");
    }
    // KiCad keeps its own order of drawings, so both sides are compared sorted.
    std::sort(expectedLines.begin(), expectedLines.end());
    std::string expected;
    for (const std::string& line : expectedLines) expected += line;
    EXPECT_EQ(readFile(output), expected);
}

}  // namespace
