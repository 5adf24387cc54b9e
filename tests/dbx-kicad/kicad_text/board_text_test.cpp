// The board text the stand-in writes and reads back: the default board, layer names, numbers,
// UUIDs, the layer forms of each KiCad version.

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

#include "dbx-kicad/dbx32.h"
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

TEST_F(DbxKicad, NineAndTenReadEveryLayerForm) {
    for (const bool kicad10 : {false, true}) {
        ASSERT_EQ(openBoard(kicad9Board(kicad10)), 0);
        std::string names;
        DbxStatusCode status = 0;
        for (std::int32_t id = 1; status == 0; ++id) {
            const std::string name = layerName(context_, id, &status);
            if (status == 0) names += name + ";";
        }
        EXPECT_EQ(names, "F.Cu;B.Cu;B.Silkscreen;F.Silkscreen;F.Mask;Edge.Cuts;Logo;User.2;");
        LineRecord line = makeLine(7, 2540, 0, 0, 2540, 0);
        ASSERT_EQ(TPlaceLine(&context_, &line), 0);
        line = makeLine(8, 2540, 0, 0, 2540, 0);
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

}  // namespace
