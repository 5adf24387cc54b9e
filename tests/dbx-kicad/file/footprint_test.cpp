// Each transfer into a board file becomes one board-only footprint holding its lines, written as
// the file's KiCad version writes one, and kept whole through another program's saves.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>

#include "dbx-kicad/dbx32.h"
#include "file_fixture.h"

using namespace bitlay::kicad::test;

namespace {

// A transfer of two lines on F.SilkS, from (1, 0.5) to (2.5, 0.5) mm and from (3, 0.5) to
// (3.5, 0.5) mm, 0.0254 mm wide, as KiCad writes its footprint, UUID for every UUID.
const std::string kKicad6Footprint =
    "  (footprint \"\" (layer \"F.Cu\")\n"
    "    (tedit 0) (tstamp UUID)\n"
    "    (at 1 -0.5)\n"
    "    (attr board_only exclude_from_pos_files exclude_from_bom)\n"
    "    (fp_line (start 0 0) (end 1.5 0) (layer \"F.SilkS\") (width 0.0254) (tstamp UUID))\n"
    "    (fp_line (start 2 0) (end 2.5 0) (layer \"F.SilkS\") (width 0.0254) (tstamp UUID))\n"
    "    (fp_text reference \"Bitlay: 2 lines\" (at 0 0) (layer \"F.SilkS\") hide\n"
    "      (effects (font (size 1.27 1.27) (thickness 0.15)))\n"
    "      (tstamp UUID)\n"
    "    )\n"
    "    (fp_text value \"Bitlay\" (at 0 0) (layer \"F.Fab\") hide\n"
    "      (effects (font (size 1.27 1.27) (thickness 0.15)))\n"
    "      (tstamp UUID)\n"
    "    )\n"
    "  )\n";

// KiCad 7: lines with a stroke, the texts' effects one level deeper, no edit time.
std::string kicad7Footprint(bool tedit) {
    return std::string("  (footprint \"\" (layer \"F.Cu\")\n    ") + (tedit ? "(tedit 0) " : "") +
           "(tstamp UUID)\n"
           "    (at 1 -0.5)\n"
           "    (attr board_only exclude_from_pos_files exclude_from_bom)\n"
           "    (fp_line (start 0 0) (end 1.5 0)\n"
           "      (stroke (width 0.0254) (type solid)) (layer \"F.SilkS\") (tstamp UUID))\n"
           "    (fp_line (start 2 0) (end 2.5 0)\n"
           "      (stroke (width 0.0254) (type solid)) (layer \"F.SilkS\") (tstamp UUID))\n"
           "    (fp_text reference \"Bitlay: 2 lines\" (at 0 0) (layer \"F.SilkS\") hide\n"
           "        (effects (font (size 1.27 1.27) (thickness 0.15)))\n"
           "      (tstamp UUID)\n"
           "    )\n"
           "    (fp_text value \"Bitlay\" (at 0 0) (layer \"F.Fab\") hide\n"
           "        (effects (font (size 1.27 1.27) (thickness 0.15)))\n"
           "      (tstamp UUID)\n"
           "    )\n"
           "  )\n";
}

std::string property(const std::string& name, const std::string& text, const std::string& layer,
                     bool thickness) {
    return "\t\t(property \"" + name + "\" \"" + text + "\"\n\t\t\t(at 0 0 0)\n\t\t\t(layer \"" +
           layer +
           "\")\n\t\t\t(hide yes)\n\t\t\t(uuid \"UUID\")\n\t\t\t(effects\n\t\t\t\t(font\n"
           "\t\t\t\t\t(size 1.27 1.27)\n" +
           (thickness ? "\t\t\t\t\t(thickness 0.15)\n" : "") + "\t\t\t\t)\n\t\t\t)\n\t\t)\n";
}

std::string normalizedLine(const std::string& start, const std::string& end) {
    return "\t\t(fp_line\n\t\t\t(start " + start + ")\n\t\t\t(end " + end +
           ")\n\t\t\t(stroke\n\t\t\t\t(width 0.0254)\n\t\t\t\t(type default)\n\t\t\t)\n"
           "\t\t\t(layer \"F.SilkS\")\n\t\t\t(uuid \"UUID\")\n\t\t)\n";
}

// KiCad 8, 9 and 10: tab-indented, every field a property.
std::string normalizedFootprint(int kicad) {
    std::string text =
        "\t(footprint \"\"\n\t\t(layer \"F.Cu\")\n\t\t(uuid \"UUID\")\n\t\t(at 1 -0.5)\n"
        "\t\t(attr board_only exclude_from_pos_files exclude_from_bom)\n";
    if (kicad >= 10) text += "\t\t(duplicate_pad_numbers_are_jumpers no)\n";
    text += normalizedLine("0 0", "1.5 0") + normalizedLine("2 0", "2.5 0");
    const bool thickness = kicad < 10;
    text += property("Reference", "Bitlay: 2 lines", "F.SilkS", thickness) +
            property("Value", "Bitlay", "F.Fab", thickness);
    if (kicad == 8) text += property("Footprint", "", "F.Fab", thickness);
    text += property("Datasheet", "", "F.Fab", thickness) +
            property("Description", "", "F.Fab", thickness);
    return text + (kicad >= 9 ? "\t\t(embedded_fonts no)\n\t)\n" : "\t)\n");
}

struct SyntaxCase {
    const char* label;
    std::string board;
    std::string footprint;
    std::string tail;  // what stays after it: the file's tail
};

void PrintTo(const SyntaxCase& syntaxCase, std::ostream* out) { *out << syntaxCase.label; }

class FootprintSyntax : public DbxKicad, public ::testing::WithParamInterface<SyntaxCase> {};

// The transfer's footprint goes in where the file's tail stood, in the form KiCad writes for the
// file's version, its fields after its lines.
TEST_P(FootprintSyntax, IsKicadsOwnForTheFileVersion) {
    const std::string original = GetParam().board;
    ASSERT_EQ(openBoard(original), 0);
    LineRecord line = makeLine(4, 2540, 100000, 50000, 250000, 50000);
    ASSERT_EQ(TPlaceLine(&context_, &line), 0);
    line = makeLine(4, 2540, 300000, 50000, 350000, 50000);
    ASSERT_EQ(TPlaceLine(&context_, &line), 0);
    ASSERT_EQ(TCloseDesign(&context_, ""), 0);

    const std::string text = readFile(board_);
    const std::string& tail = GetParam().tail;
    const std::size_t at = original.rfind(tail);
    ASSERT_NE(at, std::string::npos);
    ASSERT_EQ(text.compare(0, at, original, 0, at), 0) << text;
    ASSERT_GE(text.size(), at + tail.size());
    ASSERT_EQ(text.substr(text.size() - tail.size()), tail) << text;
    EXPECT_EQ(std::regex_replace(text.substr(at, text.size() - tail.size() - at), kUuidV4, "UUID"),
              GetParam().footprint);
    EXPECT_EQ(describe(linesOnDisk()),
              "100000,-50000 -> 250000,-50000 w2540 F.SilkS\n"
              "300000,-50000 -> 350000,-50000 w2540 F.SilkS\n");
}

INSTANTIATE_TEST_SUITE_P(
    DbxKicad, FootprintSyntax,
    ::testing::Values(
        SyntaxCase{"Kicad5", kicad6Board("20171130"), kKicad6Footprint, ")\n"},
        SyntaxCase{"Kicad6", kicad6Board(), kKicad6Footprint, ")\n"},
        SyntaxCase{"LastBeforeStroke", kicad6Board("20211228"), kKicad6Footprint, ")\n"},
        SyntaxCase{"FirstWithStroke", kicad6Board("20211229"), kicad7Footprint(true), ")\n"},
        SyntaxCase{"LastWithTedit", kicad6Board("20220224"), kicad7Footprint(true), ")\n"},
        SyntaxCase{"FirstWithoutTedit", kicad6Board("20220225"), kicad7Footprint(false), ")\n"},
        SyntaxCase{"Kicad7", kicad6Board("20221018"), kicad7Footprint(false), ")\n"},
        SyntaxCase{"LastBeforeNormalizing", kicad6Board("20231013"), kicad7Footprint(false), ")\n"},
        SyntaxCase{"FirstNormalized", kicad6Board("20231014"), normalizedFootprint(8), ")\n"},
        SyntaxCase{"Kicad8", kicad8Board(), normalizedFootprint(8), ")\n"},
        SyntaxCase{"LastBeforeEmbeddedFiles", boardOfVersion(20240705), normalizedFootprint(8),
                   ")\n"},
        SyntaxCase{"FirstWithEmbeddedFiles", boardOfVersion(20240706), normalizedFootprint(9),
                   ")\n"},
        SyntaxCase{"Kicad9", kicad9Board(), normalizedFootprint(9), "\t(embedded_fonts no)\n)\n"},
        SyntaxCase{"LastBeforeJumpers", boardOfVersion(20250323), normalizedFootprint(9),
                   "\t(embedded_fonts no)\n)\n"},
        SyntaxCase{"FirstWithJumpers", boardOfVersion(20250324), normalizedFootprint(10),
                   "\t(embedded_fonts no)\n)\n"},
        SyntaxCase{"Kicad10", kicad9Board(true), normalizedFootprint(10),
                   "\t(embedded_fonts no)\n)\n"},
        // Fonts embedded: the tail is too long to rewrite with every line.
        SyntaxCase{"Kicad9WithLongEmbeddedFiles",
                   kicad9Board().substr(0, kicad9Board().size() - 2) + "\t(embedded_files " +
                       std::string(5000, 'x') + ")\n)\n",
                   normalizedFootprint(9), ")\n"}),
    [](const auto& info) { return std::string(info.param.label); });

// A transfer ends once the caller has been away from the library for 30 ms: its footprint is then
// named by the library itself, with no call to make it, and the next line opens the next
// transfer's footprint. The transfer still open at TCloseDesign ends there.
TEST_F(DbxKicad, EachTransferBecomesOneFootprintOnceTheCallerIsAway) {
    ASSERT_EQ(openBoard(kicad9Board()), 0);
    transfer(4, 0, 3);
    ASSERT_TRUE(waitForNamed(1)) << readFile(board_);
    EXPECT_EQ(footprintsDescribed(), "Bitlay: 3 lines: 0 5080 10160\n");
    EXPECT_EQ(readFile(board_).substr(readFile(board_).size() - 23), "\t(embedded_fonts no)\n)\n");

    transfer(1, 1000000, 1);
    ASSERT_TRUE(waitForNamed(2)) << readFile(board_);
    transfer(6, 2000000, 1234);
    ASSERT_EQ(TCloseDesign(&context_, ""), 0);
    std::string expected =
        "Bitlay: 3 lines: 0 5080 10160\nBitlay: 1 line: 1000000\nBitlay: 1,234 lines:";
    for (int i = 0; i < 1234; ++i) expected += " " + std::to_string(2000000 + i * 5080);
    EXPECT_EQ(footprintsDescribed(), expected + "\n");
    EXPECT_EQ(linesOnDisk().size(), 1238u);
    const std::string text = readFile(board_);
    EXPECT_EQ(text.find("(gr_line"), std::string::npos);
    EXPECT_EQ(text.find("(group"), std::string::npos);
}

// A caller kept from the processor between two lines, as on a busy machine, has not gone away: it
// is running or waiting to run all along, and its lines stay one transfer. Played by a caller
// that spins for five times the quiet.
TEST_F(DbxKicad, ACallerStillAtWorkBetweenTwoLinesKeepsThemOneTransfer) {
    ASSERT_EQ(openBoard(kicad9Board()), 0);
    transfer(4, 0, 1);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(150);
    while (std::chrono::steady_clock::now() < until) {
    }
    transfer(4, 5080, 1);
    ASSERT_TRUE(waitForNamed(1)) << readFile(board_);
    EXPECT_EQ(footprintsDescribed(), "Bitlay: 2 lines: 0 5080\n");
}

// A transfer without a placed line has no footprint; a second close writes nothing more.
TEST_F(DbxKicad, ATransferOfRefusedLinesHasNoFootprint) {
    ASSERT_EQ(openBoard(kicad6Board()), 0);
    LineRecord refused = makeLine(1, 0, 0, 0, 2540, 0);
    EXPECT_EQ(TPlaceLine(&context_, &refused), kInvalidWidth);
    usleep(150000);
    ASSERT_EQ(TCloseDesign(&context_, ""), 0);
    EXPECT_EQ(readFile(board_), kicad6Board());
}

// KiCad 9 saving a KiCad 6 board turns it into a KiCad 9 board without the footprint it had not
// loaded: the footprint goes in again, same UUID, as KiCad 9 writes one, with the next line.
TEST_F(DbxKicad, ABoardUpgradedMeanwhileGetsTheNewSyntax) {
    ASSERT_EQ(openBoard(kicad6Board()), 0);
    LineRecord line = makeLine(4, 2540, 100000, 50000, 250000, 50000);
    ASSERT_EQ(TPlaceLine(&context_, &line), 0);
    const std::string uuid = footprintsOnDisk().at(0).uuid;
    writeAndRename(board_, kicad9Board());
    line = makeLine(4, 2540, 300000, 50000, 350000, 50000);
    ASSERT_EQ(TPlaceLine(&context_, &line), 0);
    ASSERT_EQ(TCloseDesign(&context_, ""), 0);
    const std::string text = readFile(board_);
    EXPECT_EQ(text.find("(tstamp"), std::string::npos) << text;
    EXPECT_EQ(text.find("(tedit"), std::string::npos) << text;
    EXPECT_NE(text.find("\t(footprint \"\"\n\t\t(layer \"F.Cu\")\n\t\t(uuid \"" + uuid),
              std::string::npos)
        << text;
    EXPECT_EQ(linesOnDisk().size(), 2u);
    EXPECT_EQ(footprintsDescribed().find("(malformed)"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 23), "\t(embedded_fonts no)\n)\n");
}

// Footprints and another program's save: a transfer of two lines on F.SilkS, its footprint named,
// then the other program saves; then, in most cases, a second transfer of one line on F.Cu. No
// line reported placed is ever missing after the next write.
struct SaveCase {
    const char* label;
    std::string board;
    // Saves the board; `before` is the board as it was before the first line.
    std::function<void(const fs::path& board, const std::string& before)> save;
    bool secondTransfer;
    DbxStatusCode close;
    std::string footprints;  // as describeFootprints gives them at the end
    bool firstKeepsItsUuid;  // the first footprint is in the board at the end, by its UUID
    std::string form;        // a piece of the board's text at the end, empty for none
};

void PrintTo(const SaveCase& saveCase, std::ostream* out) { *out << saveCase.label; }

class FootprintsAndAnotherSave : public DbxKicad, public ::testing::WithParamInterface<SaveCase> {};

TEST_P(FootprintsAndAnotherSave, KeepEveryLineInAFootprint) {
    ASSERT_EQ(openBoard(GetParam().board), 0);
    const std::string before = readFile(board_);
    transfer(4, 0, 2);
    ASSERT_TRUE(waitForNamed(1)) << readFile(board_);
    const std::string first = footprintsOnDisk().at(0).uuid;
    GetParam().save(board_, before);
    if (GetParam().secondTransfer) transfer(1, 1000000, 1);
    EXPECT_EQ(TCloseDesign(&context_, ""), GetParam().close);
    EXPECT_EQ(footprintsDescribed(), GetParam().footprints);
    if (GetParam().firstKeepsItsUuid) {
        EXPECT_NE(readFile(board_).find(first), std::string::npos);
    }
    EXPECT_NE(readFile(board_).find(GetParam().form), std::string::npos) << readFile(board_);
}

const std::string kBoth = "Bitlay: 2 lines: 0 5080\nBitlay: 1 line: 1000000\n";

std::string withoutLayer(const std::string& board) {
    std::string text = board;
    const std::string entry = "    (37 \"F.SilkS\" user \"F.Silkscreen\")\n";
    return text.erase(text.find(entry), entry.size());
}

INSTANTIATE_TEST_SUITE_P(
    DbxKicad, FootprintsAndAnotherSave,
    ::testing::Values(
        // An editor that had the board open from before the first line saves its copy: the
        // footprint goes in again whole, with its UUID.
        SaveCase{
            "SavedAsBefore", kicad9Board(),
            [](const fs::path& board, const std::string& before) { writeAndRename(board, before); },
            true, 0, kBoth, true, ""},
        SaveCase{
            "SavedAsBeforeAfterTheLastTransfer", kicad9Board(),
            [](const fs::path& board, const std::string& before) { writeAndRename(board, before); },
            false, 0, "Bitlay: 2 lines: 0 5080\n", true, ""},
        SaveCase{"FootprintDropped", kicad6Board(),
                 [](const fs::path& board, const std::string&) {
                     writeInPlace(board, withoutForms(readFile(board), "footprint"));
                 },
                 true, 0, kBoth, true, ""},
        // The footprint kept without its lines: they go in again in a new footprint of the
        // same name.
        SaveCase{"LinesDroppedFootprintKept", kicad9Board(),
                 [](const fs::path& board, const std::string&) {
                     writeInPlace(board, withoutForms(readFile(board), "fp_line", nullptr, 2));
                 },
                 true, 0, "Bitlay: 2 lines:\nBitlay: 2 lines: 0 5080\nBitlay: 1 line: 1000000\n",
                 true, ""},
        // KiCad 9 saving a KiCad 6 board: the footprint goes in again as KiCad 9 writes one.
        SaveCase{
            "UpgradedByKicad9", kicad6Board(),
            [](const fs::path& board, const std::string&) { writeAndRename(board, kicad9Board()); },
            true, 0, kBoth, true, "\t(footprint \"\"\n\t\t(layer \"F.Cu\")\n\t\t(uuid \""},
        // Lines on a layer the board no longer lists cannot go in again, nor their footprint.
        SaveCase{"LayerRemovedBeforeTheClose", kicad6Board(),
                 [](const fs::path& board, const std::string& before) {
                     writeInPlace(board, withoutLayer(before));
                 },
                 false, kDisconnectError, "", false, ""}),
    [](const auto& info) { return std::string(info.param.label); });

// The save comes while the caller is away, before the transfer's footprint is named: the
// library's thread puts the footprint back whole, named, with no call to make it.
TEST_F(DbxKicad, ASaveBeforeTheFootprintIsNamedLosesNothing) {
    ASSERT_EQ(openBoard(kicad9Board()), 0);
    // Ready beforehand, so that the save right after the last line is one rename.
    const fs::path saved = board_.string() + ".saving";
    writeFile(saved, kicad9Board());
    transfer(4, 0, 2);
    fs::rename(saved, board_);
    ASSERT_TRUE(waitForNamed(1)) << readFile(board_);
    EXPECT_EQ(footprintsDescribed(), "Bitlay: 2 lines: 0 5080\n");
    ASSERT_EQ(TCloseDesign(&context_, ""), 0);
    EXPECT_EQ(footprintsDescribed(), "Bitlay: 2 lines: 0 5080\n");
}

// A save in the middle of a transfer that keeps the open footprint closes it off as the other
// program wrote it (unnamed: the transfer had not ended); the transfer's later lines go into a
// new footprint, named for the whole transfer.
TEST_F(DbxKicad, ATransferGoesOnInANewFootprintAfterASaveKeptItsFootprint) {
    ASSERT_EQ(openBoard(kicad9Board()), 0);
    transfer(4, 0, 2);
    std::string text = readFile(board_);
    text.replace(text.find("(paper \"A4\")"), 12, "(paper \"USLetter\")");
    writeInPlace(board_, text);
    transfer(4, 10160, 1);
    ASSERT_EQ(TCloseDesign(&context_, ""), 0);
    const std::string described = footprintsDescribed();
    // Held up for 30 ms between the lines, the test sees two transfers instead.
    if (described.find("Bitlay: 1 line:") == std::string::npos) {
        EXPECT_EQ(described, "(unnamed): 0 5080\nBitlay: 3 lines: 10160\n");
    }
    EXPECT_EQ(linesOnDisk().size(), 3u);
}

// While its lines cannot go in again (their layer is gone), a footprint waits with them; once the
// layer is back, they go in with the next line.
TEST_F(DbxKicad, AFootprintWaitsUntilItsLinesCanGoBackIn) {
    ASSERT_EQ(openBoard(kicad6Board()), 0);
    transfer(4, 0, 2);
    ASSERT_TRUE(waitForNamed(1)) << readFile(board_);
    writeInPlace(board_, withoutLayer(kicad6Board()));

    LineRecord line = makeLine(1, 2540, 1000000, 0, 1002540, 0);
    EXPECT_EQ(TPlaceLine(&context_, &line), kLayerNotFound);
    usleep(150000);
    EXPECT_EQ(readFile(board_), withoutLayer(kicad6Board()));

    writeInPlace(board_, kicad6Board());
    EXPECT_EQ(TPlaceLine(&context_, &line), 0);
    ASSERT_EQ(TCloseDesign(&context_, ""), 0);
    EXPECT_EQ(footprintsDescribed(), kBoth);
}

}  // namespace
