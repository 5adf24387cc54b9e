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
#include <functional>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <tuple>

#include "board_reader.h"
#include "calls.h"
#include "kicad_matrix.h"

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
constexpr DbxStatusCode kLayerNotFound = 32216;
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

// The text without its top-level forms headed `head`, whatever their layout: each from the start
// of its line to the line break after it. The forms taken out go to `forms` when asked for.
std::string withoutForms(const std::string& text, const std::string& head,
                         std::vector<std::string>* forms = nullptr) {
    std::string kept;
    std::size_t depth = 0;
    std::size_t copiedTo = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == ')') {
            --depth;
        } else if (c == '(') {
            ++depth;
            if (depth != 2 || text.compare(i + 1, head.size(), head) != 0 ||
                std::string(" \n\t").find(text[i + 1 + head.size()]) == std::string::npos) {
                continue;
            }
            std::size_t from = i;
            while (from > 0 && (text[from - 1] == ' ' || text[from - 1] == '\t')) --from;
            std::size_t inner = 1;
            std::size_t j = i + 1;
            bool quoted = false;
            for (; inner > 0; ++j) {
                if (quoted) {
                    if (text[j] == '\\') {
                        ++j;
                    } else if (text[j] == '"') {
                        quoted = false;
                    }
                } else if (text[j] == '"') {
                    quoted = true;
                } else if (text[j] == '(') {
                    ++inner;
                } else if (text[j] == ')') {
                    --inner;
                }
            }
            if (j < text.size() && text[j] == '\n') ++j;
            if (forms != nullptr) forms->push_back(text.substr(from, j - from));
            kept += text.substr(copiedTo, from - copiedTo);
            copiedTo = j;
            i = j - 1;
            --depth;
        }
    }
    return kept + text.substr(copiedTo);
}

std::string withoutGroups(const std::string& text) { return withoutForms(text, "group"); }

// Each group of a board on a line of its own, in file order: its name, then the lines it names
// by their start x in database units (sorted), "?" for a member that names no line of the board,
// and "(before a line)" when the form comes before one of its lines in the file.
std::string describeGroups(const Node& board) {
    const std::vector<GrLine> lines = grLines(board);
    std::map<std::string, std::size_t> lineAt;
    for (std::size_t i = 0; i < lines.size(); ++i) lineAt[lines[i].uuid] = i;
    const std::vector<Group> found = groups(board);
    std::string text;
    std::size_t linesBefore = 0;
    std::size_t next = 0;
    for (const Node& item : board.items) {
        if (item.kind != Node::Kind::kList || item.items.empty()) continue;
        if (item.items[0].text == "gr_line") ++linesBefore;
        if (item.items[0].text != "group") continue;
        const Group& group = found[next++];
        std::vector<std::int64_t> starts;
        bool missing = false;
        bool beforeALine = false;
        for (const std::string& member : group.members) {
            const auto at = lineAt.find(member);
            if (at == lineAt.end()) {
                missing = true;
                continue;
            }
            starts.push_back(lines[at->second].startX);
            beforeALine = beforeALine || at->second >= linesBefore;
        }
        std::sort(starts.begin(), starts.end());
        text += group.name + ":";
        for (const std::int64_t x : starts) text += " " + std::to_string(x);
        if (missing) text += " ?";
        if (beforeALine) text += " (before a line)";
        text += "\n";
    }
    return text;
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
        // Where DBX_DESIGN is unset, a KiCad running on this machine must not be the design: the
        // library looks for KiCads in TMPDIR and HOME, and finds nothing there.
        unsetenv("KICAD_API_SOCKET");
        setenv("TMPDIR", dir_.c_str(), 1);
        setenv("HOME", dir_.c_str(), 1);
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
    std::string groupsOnDisk() const {
        const auto board = parseForm(readFile(board_));
        if (!board) ADD_FAILURE() << "the board does not parse:\n" << readFile(board_);
        return board ? describeGroups(*board) : "";
    }
    // Waits, without a call into the library, until the board holds `count` groups: the
    // library's thread writes a transfer's group once the caller has been away for 30 ms.
    bool waitForGroups(std::size_t count) const { return waitForGroups(count, board_); }
    static bool waitForGroups(std::size_t count, const fs::path& path) {
        for (int i = 0; i < 500; ++i) {
            const auto board = parseForm(readFile(path));
            if (board && groups(*board).size() >= count) return true;
            usleep(10000);
        }
        return false;
    }
    // One transfer: `count` lines on `layer`, 2540 units long, starting at x = first, 2 * 2540,
    // ... apart, handed over one right after the other.
    void transfer(std::int32_t layer, std::int32_t first, int count) {
        for (int i = 0; i < count; ++i) {
            LineRecord line =
                makeLine(layer, 2540, first + i * 5080, 0, first + i * 5080 + 2540, 0);
            ASSERT_EQ(TPlaceLine(&context_, &line), 0) << "line " << i << " at " << first;
        }
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

    // Placed on B.Silkscreen, the item names the layer by its canonical name, in KiCad 9's
    // layout, before (embedded_fonts no).
    LineRecord line = makeLine(8, 2540, 0, 0, 2540, 0);
    ASSERT_EQ(TPlaceLine(&context_, &line), 0);
    const std::string placed = readFile(created);
    EXPECT_NE(placed.find("\t\t(layer \"B.SilkS\")\n"), std::string::npos) << placed;
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

// The writer pauses after its first thousand lines, until that transfer's group is in the board,
// then starts a second transfer and is killed in the middle of it: that transfer's group is lost,
// none of its lines.
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
    const bool grouped = waitForGroups(1);
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
    ASSERT_TRUE(grouped) << "the first transfer's group never came";
    std::string firstGroup = "Bitlay: 1,000 lines:";
    for (int i = 0; i < 1000; ++i) firstGroup += " " + std::to_string(i);
    EXPECT_EQ(groupsOnDisk(), firstGroup + "\n");
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

// Small boards laid out as each KiCad writes them (from KiCad's board writer), with the same six
// layers first: F.Cu, B.Cu, B.SilkS, F.SilkS, Edge.Cuts and User.1 named "Logo".
std::string kicad6Board(const std::string& version = "20211014") {
    return "(kicad_pcb (version " + version + R"() (generator pcbnew)

  (general
    (thickness 1.6)
  )

  (paper "A4")
  (layers
    (0 "F.Cu" signal)
    (31 "B.Cu" signal)
    (36 "B.SilkS" user "B.Silkscreen")
    (37 "F.SilkS" user "F.Silkscreen")
    (44 "Edge.Cuts" user)
    (50 "User.1" user "Logo")
  )

  (setup
    (pad_to_mask_clearance 0)
  )

  (net 0 "")

)
)";
}

std::string kicad8Board() {
    return R"((kicad_pcb
	(version 20240108)
	(generator "pcbnew")
	(generator_version "8.0")
	(general
		(thickness 1.6)
		(legacy_teardrops no)
	)
	(paper "A4")
	(layers
		(0 "F.Cu" signal)
		(31 "B.Cu" signal)
		(36 "B.SilkS" user "B.Silkscreen")
		(37 "F.SilkS" user "F.Silkscreen")
		(44 "Edge.Cuts" user)
		(50 "User.1" user "Logo")
	)
	(setup
		(pad_to_mask_clearance 0)
	)
	(net 0 "")
)
)";
}

// KiCad 9 numbers copper even and the rest odd, and types user layers; KiCad 10 no longer writes
// the board's net list.
std::string kicad9Board(bool kicad10 = false) {
    return std::string("(kicad_pcb\n\t(version ") + (kicad10 ? "20260206" : "20241229") +
           ")\n\t(generator \"pcbnew\")\n\t(generator_version \"" + (kicad10 ? "10.0" : "9.0") +
           R"(")
	(general
		(thickness 1.6)
		(legacy_teardrops no)
	)
	(paper "A4")
	(layers
		(0 "F.Cu" signal)
		(2 "B.Cu" signal)
		(7 "B.SilkS" user "B.Silkscreen")
		(5 "F.SilkS" user "F.Silkscreen")
		(25 "Edge.Cuts" user)
		(39 "User.1" front "Logo")
		(41 "User.2" auxiliary)
	)
	(setup
		(pad_to_mask_clearance 0)
		(tenting front back)
	)
)" + (kicad10 ? "" : "\t(net 0 \"\")\n") +
           "\t(embedded_fonts no)\n)\n";
}

const std::regex kUuidV4("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");

struct SyntaxCase {
    const char* label;
    std::string board;
    std::string item;    // as KiCad writes it for the version, UUID for the UUID
    std::string before;  // what stays after the item: the file's new tail
};

// A line on F.SilkS from (1, 0.5) to (2.5, 0.5) mm, 0.0254 mm wide, as KiCad writes it.
const std::string kKicad6Item =
    "  (gr_line (start 1 -0.5) (end 2.5 -0.5) (layer \"F.SilkS\") (width 0.0254) (tstamp UUID))\n";
const std::string kKicad7Item =
    "  (gr_line (start 1 -0.5) (end 2.5 -0.5)\n"
    "    (stroke (width 0.0254) (type solid)) (layer \"F.SilkS\") (tstamp UUID))\n";
const std::string kKicad8Item =
    "\t(gr_line\n\t\t(start 1 -0.5)\n\t\t(end 2.5 -0.5)\n\t\t(stroke\n\t\t\t(width 0.0254)\n"
    "\t\t\t(type default)\n\t\t)\n\t\t(layer \"F.SilkS\")\n\t\t(uuid \"UUID\")\n\t)\n";

void PrintTo(const SyntaxCase& syntaxCase, std::ostream* out) { *out << syntaxCase.label; }

class Syntax : public DbxKicad, public ::testing::WithParamInterface<SyntaxCase> {};

TEST_P(Syntax, IsKicadsOwnForTheFileVersion) {
    const std::string original = GetParam().board;
    ASSERT_EQ(openBoard(original), 0);
    LineRecord line = makeLine(4, 2540, 100000, 50000, 250000, 50000);
    ASSERT_EQ(TPlaceLine(&context_, &line), 0);
    // Should the test be held up for 30 ms, the transfer's group follows the line.
    std::string text = withoutGroups(readFile(board_));
    const std::string& tail = GetParam().before;
    const std::size_t at = original.rfind(tail);
    ASSERT_NE(at, std::string::npos);
    ASSERT_EQ(text.compare(0, at, original, 0, at), 0) << text;
    ASSERT_GE(text.size(), at + tail.size());
    ASSERT_EQ(text.substr(text.size() - tail.size()), tail) << text;
    std::string item = text.substr(at, text.size() - tail.size() - at);
    std::smatch uuid;
    ASSERT_TRUE(std::regex_search(item, uuid, kUuidV4)) << item;
    item.replace(static_cast<std::size_t>(uuid.position(0)), uuid.length(0), "UUID");
    EXPECT_EQ(item, GetParam().item);
    EXPECT_EQ(describe(linesOnDisk()), "100000,-50000 -> 250000,-50000 w2540 F.SilkS\n");
}

INSTANTIATE_TEST_SUITE_P(
    DbxKicad, Syntax,
    ::testing::Values(
        SyntaxCase{"Kicad5", kicad6Board("20171130"), kKicad6Item, ")\n"},
        SyntaxCase{"Kicad6", kicad6Board(), kKicad6Item, ")\n"},
        SyntaxCase{"LastBeforeStroke", kicad6Board("20211228"), kKicad6Item, ")\n"},
        SyntaxCase{"FirstWithStroke", kicad6Board("20211229"), kKicad7Item, ")\n"},
        SyntaxCase{"Kicad7", kicad6Board("20221018"), kKicad7Item, ")\n"},
        SyntaxCase{"LastBeforeNormalizing", kicad6Board("20231013"), kKicad7Item, ")\n"},
        SyntaxCase{"FirstNormalized", kicad6Board("20231014"), kKicad8Item, ")\n"},
        SyntaxCase{"Kicad8", kicad8Board(), kKicad8Item, ")\n"},
        SyntaxCase{"Kicad9", kicad9Board(), kKicad8Item, "\t(embedded_fonts no)\n)\n"},
        SyntaxCase{"Kicad10", kicad9Board(true), kKicad8Item, "\t(embedded_fonts no)\n)\n"},
        // Fonts embedded: the tail is too long to rewrite with every line.
        SyntaxCase{"Kicad9WithLongEmbeddedFiles",
                   kicad9Board().substr(0, kicad9Board().size() - 2) + "\t(embedded_files " +
                       std::string(5000, 'x') + ")\n)\n",
                   kKicad8Item, ")\n"}),
    [](const auto& info) { return std::string(info.param.label); });

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

struct GroupSyntaxCase {
    const char* label;
    std::string board;
    int lines;
    std::string group;  // as KiCad writes it for the version, UUID for every UUID
};

void PrintTo(const GroupSyntaxCase& groupCase, std::ostream* out) { *out << groupCase.label; }

class GroupSyntax : public DbxKicad, public ::testing::WithParamInterface<GroupSyntaxCase> {};

// A transfer's group goes in after its lines, in the form KiCad writes for the file's version:
// its members are the lines' UUIDs, sorted as KiCad sorts them.
TEST_P(GroupSyntax, IsKicadsOwnForTheFileVersion) {
    const std::string original = GetParam().board;
    ASSERT_EQ(openBoard(original), 0);
    transfer(4, 100000, GetParam().lines);
    ASSERT_EQ(TCloseDesign(&context_, ""), 0);

    const std::string text = readFile(board_);
    const std::size_t fonts = original.find("\t(embedded_fonts");
    const std::string originalTail =
        original.substr(fonts != std::string::npos ? fonts : original.size() - 2);
    const std::size_t tail = text.size() - originalTail.size();
    ASSERT_EQ(text.substr(tail), originalTail);
    std::size_t at = text.rfind("(group ", tail);
    ASSERT_NE(at, std::string::npos) << text;
    at = text.rfind('\n', at) + 1;
    EXPECT_EQ(std::regex_replace(text.substr(at, tail - at), kUuidV4, "UUID"), GetParam().group);

    const auto board = parseForm(text);
    ASSERT_TRUE(board) << text;
    std::vector<std::string> uuids;
    for (const GrLine& line : grLines(*board)) uuids.push_back(line.uuid);
    std::sort(uuids.begin(), uuids.end());
    const std::vector<Group> found = groups(*board);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].members, uuids);
    EXPECT_TRUE(std::regex_match(found[0].uuid, kUuidV4)) << found[0].uuid;
    EXPECT_EQ(std::count(uuids.begin(), uuids.end(), found[0].uuid), 0);
}

// KiCad 6 and 7: every member on a line of its own.
std::string kicad6Group(int lines) {
    std::string text = "  (group \"Bitlay: " + std::to_string(lines) +
                       (lines == 1 ? " line" : " lines") + "\" (id UUID)\n    (members\n";
    for (int i = 0; i < lines; ++i) text += "      UUID\n";
    return text + "    )\n  )\n";
}

INSTANTIATE_TEST_SUITE_P(
    DbxKicad, GroupSyntax,
    ::testing::Values(
        GroupSyntaxCase{"Kicad5", kicad6Board("20171130"), 3, kicad6Group(3)},
        GroupSyntaxCase{"Kicad6", kicad6Board(), 3, kicad6Group(3)},
        GroupSyntaxCase{"Kicad6OneLine", kicad6Board(), 1, kicad6Group(1)},
        GroupSyntaxCase{"Kicad7", kicad6Board("20221018"), 2, kicad6Group(2)},
        GroupSyntaxCase{"LastBeforeNormalizing", kicad6Board("20231013"), 2, kicad6Group(2)},
        GroupSyntaxCase{"FirstNormalized", kicad6Board("20231014"), 1,
                        "\t(group \"Bitlay: 1 line\"\n\t\t(id \"UUID\")\n"
                        "\t\t(members \"UUID\")\n\t)\n"},
        GroupSyntaxCase{"LastWithId", kicad6Board("20231230"), 3,
                        "\t(group \"Bitlay: 3 lines\"\n\t\t(id \"UUID\")\n"
                        "\t\t(members \"UUID\" \"UUID\"\n\t\t\t\"UUID\"\n\t\t)\n\t)\n"},
        GroupSyntaxCase{"FirstWithUuid", kicad6Board("20231231"), 1,
                        "\t(group \"Bitlay: 1 line\"\n\t\t(uuid \"UUID\")\n"
                        "\t\t(members \"UUID\")\n\t)\n"},
        // Two members fill the members' line; from the third on, two to a line beneath.
        GroupSyntaxCase{"Kicad8", kicad8Board(), 2,
                        "\t(group \"Bitlay: 2 lines\"\n\t\t(uuid \"UUID\")\n"
                        "\t\t(members \"UUID\" \"UUID\")\n\t)\n"},
        GroupSyntaxCase{"Kicad9", kicad9Board(), 5,
                        "\t(group \"Bitlay: 5 lines\"\n\t\t(uuid \"UUID\")\n"
                        "\t\t(members \"UUID\" \"UUID\"\n\t\t\t\"UUID\" \"UUID\"\n"
                        "\t\t\t\"UUID\"\n\t\t)\n\t)\n"},
        GroupSyntaxCase{"Kicad10", kicad9Board(true), 4,
                        "\t(group \"Bitlay: 4 lines\"\n\t\t(uuid \"UUID\")\n"
                        "\t\t(members \"UUID\" \"UUID\"\n\t\t\t\"UUID\" \"UUID\"\n"
                        "\t\t)\n\t)\n"}),
    [](const auto& info) { return std::string(info.param.label); });

// A transfer ends once the caller has been away from the library for 30 ms: its group is then
// written by the library itself, with no call to make it. The transfer still open at
// TCloseDesign ends there.
TEST_F(DbxKicad, EachTransferBecomesOneGroupOnceTheCallerIsAway) {
    ASSERT_EQ(openBoard(kicad9Board()), 0);
    transfer(4, 0, 3);
    ASSERT_TRUE(waitForGroups(1)) << readFile(board_);
    EXPECT_EQ(groupsOnDisk(), "Bitlay: 3 lines: 0 5080 10160\n");
    EXPECT_EQ(readFile(board_).substr(readFile(board_).size() - 23), "\t(embedded_fonts no)\n)\n");

    transfer(1, 1000000, 1);
    ASSERT_TRUE(waitForGroups(2)) << readFile(board_);
    transfer(6, 2000000, 1234);
    ASSERT_EQ(TCloseDesign(&context_, ""), 0);
    std::string expected =
        "Bitlay: 3 lines: 0 5080 10160\nBitlay: 1 line: 1000000\nBitlay: 1,234 lines:";
    for (int i = 0; i < 1234; ++i) expected += " " + std::to_string(2000000 + i * 5080);
    EXPECT_EQ(groupsOnDisk(), expected + "\n");
    EXPECT_EQ(linesOnDisk().size(), 1238u);
    // KiCad lists the members sorted.
    const auto board = parseForm(readFile(board_));
    ASSERT_TRUE(board);
    for (const Group& group : groups(*board)) {
        EXPECT_TRUE(std::is_sorted(group.members.begin(), group.members.end())) << group.name;
    }
}

// A transfer without a placed line has no group; a second close writes nothing more.
TEST_F(DbxKicad, ATransferOfRefusedLinesHasNoGroup) {
    ASSERT_EQ(openBoard(kicad6Board()), 0);
    LineRecord refused = makeLine(1, 0, 0, 0, 2540, 0);
    EXPECT_EQ(TPlaceLine(&context_, &refused), kInvalidWidth);
    usleep(150000);
    ASSERT_EQ(TCloseDesign(&context_, ""), 0);
    EXPECT_EQ(readFile(board_), kicad6Board());
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
                ASSERT_TRUE(seen.insert(line.uuid).second) << "repeated: " << line.uuid;
            }
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

void writeInPlace(const fs::path& board, const std::string& text) {
    // Truncated and written again: the same file, as most programs save.
    std::ofstream(board, std::ios::binary | std::ios::trunc) << text;
}

void writeAndRename(const fs::path& board, const std::string& text) {
    const fs::path temporary = board.string() + ".saving";
    writeFile(temporary, text);
    fs::rename(temporary, board);
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
std::string withoutPlacedLines(const std::string& text) {
    std::istringstream lines(text);
    std::string kept;
    for (std::string line; std::getline(lines, line);) {
        if (line.find("(gr_line") == std::string::npos) kept += line + '\n';
    }
    return kept;
}

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

// KiCad 9 saving a KiCad 6 board turns it into a KiCad 9 board: the next line follows suit.
TEST_F(DbxKicad, ABoardUpgradedMeanwhileGetsTheNewSyntax) {
    ASSERT_EQ(openBoard(kicad6Board()), 0);
    LineRecord line = makeLine(4, 2540, 100000, 50000, 250000, 50000);
    ASSERT_EQ(TPlaceLine(&context_, &line), 0);
    writeAndRename(board_, kicad9Board());
    ASSERT_EQ(TPlaceLine(&context_, &line), 0);
    // The new board lacks the first line, which goes in again before the second (and the first
    // transfer's group, had the test been held up for 30 ms on the way).
    const std::string text = withoutGroups(readFile(board_));
    const std::string items = std::regex_replace(
        text.substr(kicad9Board().size() - 23, text.size() - kicad9Board().size()), kUuidV4,
        "UUID");
    EXPECT_EQ(items, std::string(kKicad8Item) + kKicad8Item);
    EXPECT_EQ(text.substr(text.size() - 23), "\t(embedded_fonts no)\n)\n");
}

// Groups and another program's save: a transfer of two lines on F.SilkS, its group written, then
// the other program saves; then, in most cases, a second transfer of one line on F.Cu. No group
// may ever name a line the board lacks.
struct GroupSaveCase {
    const char* label;
    std::string board;
    // Saves the board; `before` is the board as it was before the first line.
    std::function<void(const fs::path& board, const std::string& before)> save;
    bool secondTransfer;
    DbxStatusCode close;
    std::string groups;  // as describeGroups gives them at the end
    std::string form;    // a piece of the board's text at the end, empty for none
};

void PrintTo(const GroupSaveCase& saveCase, std::ostream* out) { *out << saveCase.label; }

class GroupsAndAnotherSave : public DbxKicad,
                             public ::testing::WithParamInterface<GroupSaveCase> {};

TEST_P(GroupsAndAnotherSave, KeepEveryGroupWithItsLines) {
    ASSERT_EQ(openBoard(GetParam().board), 0);
    const std::string before = readFile(board_);
    transfer(4, 0, 2);
    ASSERT_TRUE(waitForGroups(1)) << readFile(board_);
    GetParam().save(board_, before);
    if (GetParam().secondTransfer) transfer(1, 1000000, 1);
    EXPECT_EQ(TCloseDesign(&context_, ""), GetParam().close);
    EXPECT_EQ(groupsOnDisk(), GetParam().groups);
    EXPECT_NE(readFile(board_).find(GetParam().form), std::string::npos) << readFile(board_);
}

const std::string kBothGroups = "Bitlay: 2 lines: 0 5080\nBitlay: 1 line: 1000000\n";

INSTANTIATE_TEST_SUITE_P(
    DbxKicad, GroupsAndAnotherSave,
    ::testing::Values(
        // An editor that had the board open from before the first line saves its copy.
        GroupSaveCase{
            "SavedAsBefore", kicad9Board(),
            [](const fs::path& board, const std::string& before) { writeAndRename(board, before); },
            true, 0, kBothGroups, ""},
        GroupSaveCase{
            "SavedAsBeforeAfterTheLastTransfer", kicad9Board(),
            [](const fs::path& board, const std::string& before) { writeAndRename(board, before); },
            false, 0, "Bitlay: 2 lines: 0 5080\n", ""},
        GroupSaveCase{"GroupDropped", kicad6Board(),
                      [](const fs::path& board, const std::string&) {
                          writeInPlace(board, withoutGroups(readFile(board)));
                      },
                      true, 0, kBothGroups, ""},
        // The group still names the lines: they are missing all the same and go in again, after
        // the group the other program kept.
        GroupSaveCase{"LinesDroppedGroupKept", kicad9Board(),
                      [](const fs::path& board, const std::string&) {
                          writeInPlace(board, withoutForms(readFile(board), "gr_line"));
                      },
                      true, 0, "Bitlay: 2 lines: 0 5080 (before a line)\nBitlay: 1 line: 1000000\n",
                      ""},
        // KiCad 9 saving a KiCad 6 board: the group goes in again as KiCad 9 writes one.
        GroupSaveCase{
            "UpgradedByKicad9", kicad6Board(),
            [](const fs::path& board, const std::string&) { writeAndRename(board, kicad9Board()); },
            true, 0, kBothGroups, "\t(group \"Bitlay: 2 lines\"\n\t\t(uuid \""},
        // Lines on a layer the board no longer lists cannot go in again, nor can their group.
        GroupSaveCase{"LayerRemovedBeforeTheClose", kicad6Board(),
                      [](const fs::path& board, const std::string& before) {
                          std::string text = before;
                          const std::string entry = "    (37 \"F.SilkS\" user \"F.Silkscreen\")\n";
                          text.erase(text.find(entry), entry.size());
                          writeInPlace(board, text);
                      },
                      false, 32002, "", ""}),
    [](const auto& info) { return std::string(info.param.label); });

// The save comes while the caller is away, before the transfer's group is written: the library's
// thread puts the lines back in before their group, with no call to make it.
TEST_F(DbxKicad, ASaveBeforeTheGroupIsWrittenLosesNeitherLinesNorGroup) {
    ASSERT_EQ(openBoard(kicad9Board()), 0);
    // Ready beforehand, so that the save right after the last line is one rename.
    const fs::path saved = board_.string() + ".saving";
    writeFile(saved, kicad9Board());
    transfer(4, 0, 2);
    fs::rename(saved, board_);
    ASSERT_TRUE(waitForGroups(1)) << readFile(board_);
    EXPECT_EQ(groupsOnDisk(), "Bitlay: 2 lines: 0 5080\n");
    ASSERT_EQ(TCloseDesign(&context_, ""), 0);
    EXPECT_EQ(groupsOnDisk(), "Bitlay: 2 lines: 0 5080\n");
}

// While its lines cannot go in again (their layer is gone), a group waits with them; once the
// layer is back, lines and group go in with the next line.
TEST_F(DbxKicad, AGroupWaitsUntilItsLinesCanGoBackIn) {
    ASSERT_EQ(openBoard(kicad6Board()), 0);
    transfer(4, 0, 2);
    ASSERT_TRUE(waitForGroups(1)) << readFile(board_);
    std::string withoutLayer = kicad6Board();
    const std::string entry = "    (37 \"F.SilkS\" user \"F.Silkscreen\")\n";
    withoutLayer.erase(withoutLayer.find(entry), entry.size());
    writeInPlace(board_, withoutLayer);

    LineRecord line = makeLine(1, 2540, 1000000, 0, 1002540, 0);
    EXPECT_EQ(TPlaceLine(&context_, &line), kLayerNotFound);
    usleep(150000);
    EXPECT_EQ(readFile(board_), withoutLayer);

    writeInPlace(board_, kicad6Board());
    EXPECT_EQ(TPlaceLine(&context_, &line), 0);
    ASSERT_EQ(TCloseDesign(&context_, ""), 0);
    EXPECT_EQ(groupsOnDisk(), kBothGroups);
}

std::string run(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return output;
    char buffer[4096];
    std::size_t got = 0;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
    const int status = pclose(pipe);
    if (status != 0) output += "\nexit status " + std::to_string(status);
    return output;
}

// KiCad itself reads each board back, every KiCad of the matrix: the new board as that KiCad makes
// one, 6, 7 and 8 written here in their own layouts. Halfway, KiCad saves the 6 board as it reads
// it then, and the new board as it had it open before the first line. The boards are all read in
// one Python process.
class KicadJudge : public DbxKicad, public ::testing::WithParamInterface<std::string> {
  protected:
    // Every program runs in the KiCad named, its HOME the test's folder; that KiCad makes a new
    // board of its own as `made_`, the last of `versions_`.
    void SetUp() override {
        DbxKicad::SetUp();
        kicad_ = kicadNamed(GetParam());
        if (!kicad_.available()) {
            GTEST_SKIP() << "KiCad " << kicad_.name << " cannot run here: " << kicad_.unavailable;
        }
        inKicad_ = kicad_.shellPrefix(dir_, {"HOME=" + dir_.string()});
        python_ = inKicad_ + "/usr/bin/python3";
        ASSERT_EQ(std::system((python_ + " -c 'import pcbnew' >/dev/null 2>&1").c_str()), 0)
            << "KiCad " << kicad_.name << "'s Python module pcbnew is not installed";
        made_ = dir_ / "vnew.kicad_pcb";
        ASSERT_EQ(run(python_ + " -c \"import pcbnew; b = pcbnew.NewBoard('" + made_.string() +
                      "'); pcbnew.SaveBoard('" + made_.string() + "', b)\" 2>&1"),
                  "");
    }

    // Attaches to `board`, written from `text` first unless that is empty (KiCad's own board).
    DbxStatusCode attach(const fs::path& board, const std::string& text) {
        if (!text.empty()) writeFile(board, text);
        setenv("DBX_DESIGN", board.c_str(), 1);
        return TOpenDesign(0, 16000, "", &context_);
    }

    // The attached design's layers by the names the tool shows.
    std::map<std::string, std::int32_t> layerIds() {
        std::map<std::string, std::int32_t> ids;
        DbxStatusCode status = 0;
        for (std::int32_t id = 1; status == 0; ++id) {
            const std::string name = layerName(context_, id, &status);
            if (status == 0) ids[name] = id;
        }
        return ids;
    }

    // KiCad's Python holding `board` as it reads it now, until told to save it over the file
    // (a line on its standard input, then pclose).
    FILE* holdInKicad(const fs::path& board) {
        const fs::path loaded = dir_ / "loaded";
        fs::remove(loaded);
        FILE* editor = popen((python_ + " -c \"import pcbnew, sys; b = pcbnew.LoadBoard('" +
                              board.string() + "'); open('" + loaded.string() +
                              "', 'w').close(); sys.stdin.readline(); pcbnew.SaveBoard('" +
                              board.string() + "', b)\" 2>/dev/null")
                                 .c_str(),
                             "w");
        for (int i = 0; editor != nullptr && i < 600 && !fs::exists(loaded); ++i) usleep(50000);
        if (editor != nullptr && !fs::exists(loaded)) {
            pclose(editor);
            editor = nullptr;
        }
        return editor;
    }

    // The boards read back, by the label of their version: each written here in its own layout,
    // and the new one as KiCad made it.
    const std::vector<std::pair<std::string, std::string>> versions_ = {
        {"6", kicad6Board()}, {"7", kicad6Board("20221018")}, {"8", kicad8Board()}, {"new", ""}};
    Kicad kicad_;
    std::string inKicad_;
    std::string python_;
    fs::path made_;
};

TEST_P(KicadJudge, LoadsThePlacedLines) {
    // The file version this KiCad writes: 20241229 for 9, 20260206 for 10.
    std::smatch written;
    const std::string madeText = readFile(made_);
    ASSERT_TRUE(std::regex_search(madeText, written, std::regex(R"(\(version (\d+)\))")))
        << madeText;
    const std::string ownVersion = "(version " + written[1].str() + ")";

    std::string expected;
    std::string boards;
    for (const auto& [version, text] : versions_) {
        const fs::path board = dir_ / ("v" + version + ".kicad_pcb");
        ASSERT_EQ(attach(board, text), 0) << version;
        auto ids = layerIds();
        const std::string user1 = version == "new" ? "User.1" : "Logo";
        const std::vector<std::pair<std::string, LineRecord>> placed = {
            {"F.Cu", makeLine(ids["F.Cu"], 2540, 0, 0, 25400, 0)},
            {"B.Cu", makeLine(ids["B.Cu"], 5080, -kEdge, kEdge, kEdge, -kEdge)},
            {"F.SilkS", makeLine(ids["F.Silkscreen"], 1, 12345, -67890, 12345 + 1300, -67890)},
            {"B.SilkS", makeLine(ids["B.Silkscreen"], 2540, 2540, 2540, 7620, 2540)},
            {"Edge.Cuts", makeLine(ids["Edge.Cuts"], 1270, -2540, -2540, 2540, -2540)},
            {"User.1", makeLine(ids[user1], 99999, 1, -1, 3, -1)}};
        // KiCad has its new board open from before the first line and saves its own copy,
        // without the lines placed so far, halfway: they go in again with the next line.
        FILE* editor = nullptr;
        if (version == "new") {
            editor = holdInKicad(board);
            ASSERT_NE(editor, nullptr) << "KiCad did not load the board";
        }
        for (const auto& [layer, record] : placed) {
            // KiCad saves once the first lines' transfer is over and its group written: the
            // library writes nothing more until the next line.
            if (layer == "B.SilkS" && (editor != nullptr || version == "6")) {
                ASSERT_TRUE(waitForGroups(1, board)) << version;
            }
            if (editor != nullptr && layer == "B.SilkS") {
                const std::string before = readFile(board);
                fputs("save\n", editor);
                ASSERT_EQ(pclose(editor), 0);
                editor = nullptr;
                ASSERT_NE(readFile(board), before) << "KiCad did not save";
                ASSERT_EQ(readFile(board).find("(gr_line"), std::string::npos);
            }
            if (version == "6" && layer == "B.SilkS") {
                // Halfway, KiCad itself saves the KiCad 6 board (as a board of its own version).
                ASSERT_EQ(
                    run(python_ + " -c \"import pcbnew; b = pcbnew.LoadBoard('" + board.string() +
                        "'); pcbnew.SaveBoard('" + board.string() + "', b)\" 2>/dev/null"),
                    "");
                ASSERT_NE(readFile(board).find(ownVersion), std::string::npos);
            }
            LineRecord line = record;
            ASSERT_EQ(TPlaceLine(&context_, &line), 0) << version << " " << layer;
            // KiCad counts in nanometres, ten to one database unit, y pointing down.
            expected += version + " " + std::to_string(line.startX * 10LL) + " " +
                        std::to_string(-line.startY * 10LL) + " " +
                        std::to_string(line.endX * 10LL) + " " + std::to_string(-line.endY * 10LL) +
                        " " + std::to_string(line.width * 10LL) + " " + layer + "\n";
        }
        ASSERT_EQ(TCloseDesign(&context_, ""), 0);
        boards += " " + version + " '" + board.string() + "'";
    }

    const fs::path script = dir_ / "read.py";
    writeFile(script,
              "import pcbnew, sys\n"
              "args = sys.argv[1:]\n"
              "for version, path in zip(args[0::2], args[1::2]):\n"
              "    board = pcbnew.LoadBoard(path)\n"
              "    for d in board.GetDrawings():\n"
              "        if d.GetShape() != pcbnew.SHAPE_T_SEGMENT: continue\n"
              "        s, e = d.GetStart(), d.GetEnd()\n"
              "        print(version, s.x, s.y, e.x, e.y, d.GetWidth(),\n"
              "              pcbnew.LSET.Name(d.GetLayer()))\n");
    const fs::path errors = dir_ / "python.err";
    const std::string output = run(python_ + " '" + script.string() + "'" + boards + " 2>'" +
                                   errors.string() + "' | sort");
    // KiCad keeps its own order of drawings, so both sides are compared sorted.
    std::vector<std::string> lines;
    std::istringstream in(expected);
    for (std::string line; std::getline(in, line);) lines.push_back(line + "\n");
    std::sort(lines.begin(), lines.end());
    expected.clear();
    for (const std::string& line : lines) expected += line;
    EXPECT_EQ(output, expected) << readFile(errors);

    // The design rule check loads each board without a parse error.
    for (const auto& [version, text] : versions_) {
        const fs::path board = dir_ / ("v" + version + ".kicad_pcb");
        const std::string drc =
            run(inKicad_ + "kicad-cli pcb drc -o '" + (dir_ / "drc.rpt").string() + "' '" +
                board.string() + "' 2>&1");
        EXPECT_EQ(drc.find("exit status"), std::string::npos) << version << ": " << drc;
        EXPECT_NE(drc.find("Saved DRC Report"), std::string::npos) << version << ": " << drc;
    }
}

// Each KiCad of the matrix reads the groups back: in boards of versions_ 6 to 8 and of its own,
// each transfer is one group holding exactly its lines, the last one ended by TCloseDesign. KiCad
// has its own board open from before the first line and saves its own copy once two transfers are
// in: lines and groups go in again with the third. KiCad's own writer then writes that board's
// groups letter for letter as the library did.
TEST_P(KicadJudge, FindsOneGroupPerTransfer) {
    // Three transfers, on three layers: KiCad's names, the tool's names, lines.
    const std::vector<std::tuple<std::string, std::string, int>> transfers = {
        {"F.Cu", "F.Cu", 3}, {"F.SilkS", "F.Silkscreen", 1}, {"Edge.Cuts", "Edge.Cuts", 2}};
    std::vector<std::string> expected;
    std::string boards;
    for (const auto& [version, text] : versions_) {
        const fs::path board = dir_ / ("v" + version + ".kicad_pcb");
        ASSERT_EQ(attach(board, text), 0) << version;
        auto ids = layerIds();
        FILE* editor = nullptr;
        if (version == "new") {
            editor = holdInKicad(board);
            ASSERT_NE(editor, nullptr) << "KiCad did not load the board";
        }
        std::int32_t x = 0;
        for (std::size_t t = 0; t < transfers.size(); ++t) {
            const auto& [layer, shown, count] = transfers[t];
            if (editor != nullptr && t == 2) {
                fputs("save\n", editor);
                ASSERT_EQ(pclose(editor), 0);
                editor = nullptr;
                ASSERT_EQ(readFile(board).find("(group"), std::string::npos)
                    << "KiCad did not save";
            }
            std::vector<std::string> items;
            for (int i = 0; i < count; ++i, x += 5080) {
                LineRecord line = makeLine(ids[shown], 2540, x, 0, x + 2540, 0);
                ASSERT_EQ(TPlaceLine(&context_, &line), 0) << version << " " << layer;
                // KiCad counts in nanometres, ten to one database unit.
                items.push_back(std::to_string(x * 10LL) + " 0 " +
                                std::to_string((x + 2540) * 10LL) + " 0 25400 " + layer);
            }
            std::sort(items.begin(), items.end());
            std::string group = version + " " + std::to_string(count) + ":";
            for (const std::string& item : items) group += " " + item + ";";
            expected.push_back(group + "\n");
            if (t + 1 < transfers.size()) {
                ASSERT_TRUE(waitForGroups(t + 1, board)) << version;
            }
        }
        ASSERT_EQ(TCloseDesign(&context_, ""), 0);
        boards += " " + version + " '" + board.string() + "'";
    }

    const fs::path script = dir_ / "groups.py";
    writeFile(
        script,
        "import pcbnew, sys\n"
        "args = sys.argv[1:]\n"
        "for version, path in zip(args[0::2], args[1::2]):\n"
        "    board = pcbnew.LoadBoard(path)\n"
        "    for g in board.Groups():\n"
        "        items = []\n"
        "        for item in g.GetItems():\n"
        "            d = item.Cast()\n"
        "            s, e = d.GetStart(), d.GetEnd()\n"
        "            items.append('%d %d %d %d %d %s' % (s.x, s.y, e.x, e.y, d.GetWidth(),\n"
        "                         pcbnew.LSET.Name(d.GetLayer())))\n"
        "        name = g.GetName()\n"
        "        count = name.split(' ')[1].replace(',', '')\n"
        "        assert name == 'Bitlay: %s line%s' % (name.split(' ')[1],\n"
        "                                           '' if count == '1' else 's'), name\n"
        "        print(version, count + ':' + ''.join(' ' + i + ';' for i in sorted(items)))\n");
    const fs::path errors = dir_ / "python.err";
    const std::string output = run(python_ + " '" + script.string() + "'" + boards + " 2>'" +
                                   errors.string() + "' | sort");
    std::sort(expected.begin(), expected.end());
    std::string want;
    for (const std::string& group : expected) want += group;
    EXPECT_EQ(output, want) << readFile(errors);

    // KiCad's own writer, saving its board as it read it, writes each group as it stood.
    const fs::path resaved = dir_ / "resaved.kicad_pcb";
    ASSERT_EQ(run(python_ + " -c \"import pcbnew; b = pcbnew.LoadBoard('" + made_.string() +
                  "'); pcbnew.SaveBoard('" + resaved.string() + "', b)\" 2>/dev/null"),
              "");
    std::vector<std::string> ours;
    std::vector<std::string> kicads;
    withoutForms(readFile(made_), "group", &ours);
    withoutForms(readFile(resaved), "group", &kicads);
    std::sort(ours.begin(), ours.end());
    std::sort(kicads.begin(), kicads.end());
    EXPECT_EQ(ours.size(), 3u);
    EXPECT_EQ(kicads, ours);
}

INSTANTIATE_TEST_SUITE_P(Matrix, KicadJudge, ::testing::ValuesIn(kicadNames()),
                         [](const auto& info) { return info.param; });

}  // namespace
