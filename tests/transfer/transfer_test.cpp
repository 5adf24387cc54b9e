#include "transfer/transfer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "numeric/numeric.h"
#include "transfer/number_text.h"
#include "transfer_fixture.h"

using namespace bitlay;
using namespace bitlay::transfer;
using namespace bitlay::transfer::test;
using dbx::LineRecord;
using picture::Colour;
using picture::PictureBox;

namespace {

TEST(Transfer, WorkedExample) {
    PictureBox box = pixelBox();
    for (int x = 3; x <= 5; ++x) box.PSet(x, 4, kInk);
    Recorder recorder;
    const auto result = recorder.run(box, input(kInk, "1", "2", "1", 0));
    EXPECT_EQ(result.outcome, TransferOutcome::kCompleted);
    EXPECT_EQ(describeLines(recorder.lines), describeLines({line(10160, -5080, 17780, -5080)}));
    EXPECT_EQ(result.linesPlaced, 1);
}

TEST(Transfer, RunsAreAsLongAsTheirPointsAndEveryOtherByteIsZero) {
    PictureBox box = pixelBox();
    box.PSet(10, 0, kInk);                               // a lone point: one pitch
    for (int x = 20; x < 27; ++x) box.PSet(x, 0, kInk);  // seven points: seven pitches
    for (int x = 0; x < 2; ++x) box.PSet(x, 3, kInk);    // two points from the left edge
    Recorder recorder;
    recorder.run(box, input(kInk, "0", "0", "2", 4));
    const std::int32_t pitch = 2 * 2540;
    EXPECT_EQ(describeLines(recorder.lines),
              describeLines({line(10 * pitch, 0, 11 * pitch, 0, pitch, 5),
                             line(20 * pitch, 0, 27 * pitch, 0, pitch, 5),
                             line(0, -3 * pitch, 2 * pitch, -3 * pitch, pitch, 5)}));
    for (const auto& record : recorder.lines) {
        LineRecord expected = line(record.startX, record.startY, record.endX, record.endY,
                                   record.width, record.layerId);
        EXPECT_EQ(std::memcmp(&record, &expected, sizeof record), 0) << describe(record);
    }
}

TEST(Transfer, XAndYKeepTheirFractions) {
    PictureBox box = pixelBox();
    box.PSet(0, 0, kInk);
    Recorder recorder;
    recorder.run(box, input(kInk, "0.5", "0.5"));
    recorder.run(box, input(kInk, "-0.5", "1.5"));
    EXPECT_EQ(describeLines(recorder.lines),
              describeLines({line(1270, 1270, 3810, 1270), line(-1270, 3810, 1270, 3810)}));
}

TEST(Transfer, RunAtTheClientEdgeEndsOnTheFirstPointOutside) {
    PictureBox box(4695, 3495);
    box.setBackColor(kInk);
    box.Cls();
    setWorkingScale(box);  // 1173.75 × 873.75 units over 309 × 229 pixels
    Recorder recorder;
    recorder.run(box, input(kInk));
    ASSERT_EQ(recorder.lines.size(), 874u);
    EXPECT_EQ(describe(recorder.lines.front()), describe(line(0, 0, 1174 * 2540, 0)));
    EXPECT_EQ(describe(recorder.lines.back()),
              describe(line(0, -873 * 2540, 1174 * 2540, -873 * 2540)));
}

// Frameless, 2 pixels wide; ScaleWidth 57 puts x = 28 into pixel 0 and only x = 29, the row's
// last point, into pixel 1.
PictureBox rowEndBox() {
    PictureBox box(30, 30, 0);
    box.setBackColor(kPaper);
    box.Cls();
    box.setScaleWidth(57);
    box.setScaleHeight(2);  // y = 0 and 1 are the two pixel rows
    return box;
}

TEST(Transfer, RunReachingTheRowsLastPointEndsThere) {
    PictureBox box(30, 30, 0);  // frameless: twips reach x = W − 1
    box.setBackColor(kPaper);
    box.Cls();
    box.PSet(20, 0, kInk);  // pixel 1 of row 0: x = 15 … 29, y = 0 … 14
    Recorder recorder;
    recorder.run(box, input(kInk));
    ASSERT_EQ(recorder.lines.size(), 15u);
    EXPECT_EQ(describe(recorder.lines.front()), describe(line(15 * 2540, 0, 29 * 2540, 0)));
    EXPECT_EQ(describe(recorder.lines.back()),
              describe(line(15 * 2540, -14 * 2540, 29 * 2540, -14 * 2540)));
}

TEST(Transfer, RunOpeningOnTheRowsLastPointIsClosedThereWithTheNudge) {
    PictureBox box = rowEndBox();
    box.PSet(29, 0, kInk);
    box.PSet(0, 1, kInk);  // row 1 starts with ink: it must not join the run of row 0
    for (const char* scale : {"1", "3", "250"}) {
        SCOPED_TRACE(scale);
        Recorder recorder;
        recorder.run(box, input(kInk, "0", "0", scale));
        const std::int32_t pitch = numeric::roundToInt32(numberOfText(scale)) * 2540;
        EXPECT_EQ(describeLines(recorder.lines),
                  describeLines({line(29 * pitch, 0, 29 * pitch + 1300, 0, pitch),
                                 line(0, -pitch, 29 * pitch, -pitch, pitch)}));
    }
}

TEST(Transfer, ProgressRunsOverTheRowsInsideTheClientArea) {
    PictureBox box(4695, 3495);
    setWorkingScale(box);
    Recorder recorder;
    const auto result = recorder.run(box, input(kInk));
    ASSERT_EQ(recorder.captions.size(), 874u);
    EXPECT_EQ(recorder.captions.front(), " 0 %");
    EXPECT_EQ(recorder.captions[9], " 1 %");
    EXPECT_EQ(recorder.captions.back(), " 99 %");
    EXPECT_TRUE(recorder.lines.empty());
    EXPECT_EQ(completionReport(result, {}), u"0 lines placed.");
}

TEST(Transfer, TinyBoxes) {
    Recorder recorder;
    recorder.run(PictureBox(0.5f, 3495), input(kInk));  // W < 1: rows, no points
    EXPECT_TRUE(recorder.lines.empty());
    recorder.captions.clear();
    recorder.run(PictureBox(4695, 0.5f), input(kInk));  // H < 1: no rows at all
    EXPECT_TRUE(recorder.captions.empty());
    EXPECT_TRUE(recorder.lines.empty());
}

struct ScaleCase {
    const char* text;
    bool refused;
    std::int32_t scale;
};

class ScaleText : public ::testing::TestWithParam<ScaleCase> {};

TEST_P(ScaleText, ChecksAndRounds) {
    PictureBox box = pixelBox();
    box.PSet(0, 0, kInk);
    Recorder recorder;
    const auto result = recorder.run(box, input(kInk, "0", "0", GetParam().text, 0));
    if (GetParam().refused) {
        EXPECT_EQ(result.outcome, TransferOutcome::kScaleRefused);
        EXPECT_TRUE(recorder.captions.empty());
        EXPECT_TRUE(recorder.lines.empty());
    } else {
        ASSERT_EQ(recorder.lines.size(), 1u);
        EXPECT_EQ(recorder.lines[0].width, GetParam().scale * 2540);
        EXPECT_EQ(recorder.lines[0].endX, GetParam().scale * 2540);
    }
}

INSTANTIATE_TEST_SUITE_P(Texts, ScaleText,
                         ::testing::Values(ScaleCase{"", true, 0}, ScaleCase{"abc", true, 0},
                                           ScaleCase{"0.99", true, 0}, ScaleCase{"-5", true, 0},
                                           ScaleCase{"1.4", false, 1}, ScaleCase{"1.5", false, 2},
                                           ScaleCase{"2.5", false, 2}, ScaleCase{"3.5", false, 4},
                                           ScaleCase{"1e3", false, 1000},
                                           ScaleCase{"1,5", false, 1}, ScaleCase{"1 5", false, 15},
                                           ScaleCase{"&H10", false, 16}));

TEST(Transfer, ScaleCheckComesFirstAndLayerCheckSecond) {
    PictureBox box = pixelBox();
    box.PSet(0, 0, kInk);
    Recorder recorder;
    EXPECT_EQ(recorder.run(box, input(kInk, "0", "0", "0", -1)).outcome,
              TransferOutcome::kScaleRefused);
    EXPECT_EQ(recorder.run(box, input(kInk, "0", "0", "1", -1)).outcome,
              TransferOutcome::kLayerRefused);
    // Nothing after the checks is read: an X that would overflow is never formed.
    EXPECT_EQ(recorder.run(box, input(kInk, "1e300", "0", "1", -1)).outcome,
              TransferOutcome::kLayerRefused);
    EXPECT_TRUE(recorder.captions.empty());
    EXPECT_TRUE(recorder.lines.empty());
}

TEST(Transfer, LayerIdIsTheIndexPlusOneIn16Bits) {
    PictureBox box = pixelBox();
    box.PSet(0, 0, kInk);
    Recorder recorder;
    recorder.run(box, input(kInk, "0", "0", "1", 32766));
    ASSERT_EQ(recorder.lines.size(), 1u);
    EXPECT_EQ(recorder.lines[0].layerId, 32767);
    EXPECT_THROW(recorder.run(box, input(kInk, "0", "0", "1", 32767)), TransferStopped);
}

TEST(TransferOnSeveralLayers, EachLineGoesToEveryChosenLayerInTheListsOrder) {
    PictureBox box = pixelBox();
    for (int x = 3; x <= 5; ++x) box.PSet(x, 4, kInk);
    box.PSet(9, 6, kInk);
    Recorder one;
    const auto single = one.run(box, input(kInk, "1", "2", "1", 4));
    Recorder several;
    // Chosen F.Mask first, then F.Cu above it; given twice and with a position that is none.
    TransferInput in = input(kInk, "1", "2", "1");
    in.layerIndices = {4, 0, -1, 4};
    const auto result = several.run(box, in);
    EXPECT_EQ(describeLines(several.lines),
              describeLines({line(10160, -5080, 17780, -5080, 2540, 1),
                             line(10160, -5080, 17780, -5080, 2540, 5),
                             line(25400, -10160, 27940, -10160, 2540, 1),
                             line(25400, -10160, 27940, -10160, 2540, 5)}));
    EXPECT_EQ(several.captions, one.captions);  // one scan: 0 to 99 % once
    EXPECT_EQ(result.outcome, TransferOutcome::kCompleted);
    EXPECT_EQ(result.linesPlaced, 4);
    EXPECT_EQ(result.layers, 2);
    EXPECT_EQ(completionReport(single, {}), u"2 lines placed.");
    EXPECT_EQ(completionReport(result, {}), u"4 lines placed on 2 layers.");
}

TEST(TransferOnSeveralLayers, RefusalsStopsAndReportsCountEveryPlacement) {
    PictureBox box = pixelBox();
    box.PSet(0, 0, kInk);
    box.PSet(0, 1, kInk);
    box.PSet(300, 2, kInk);  // board x beyond the 32-bit range at scale 10000
    TransferInput in = input(kInk, "0", "0", "10000");
    in.layerIndices = {0, 1, 2};
    Recorder recorder;
    recorder.statusOf = [](std::size_t i) { return i == 4 ? 32216 : 0; };
    try {
        recorder.run(box, in);
        FAIL() << "no overflow";
    } catch (const TransferStopped& stopped) {
        // Rows 0 and 1 on three layers each; the line of row 2 reaches none of them.
        EXPECT_EQ(recorder.lines.size(), 6u);
        EXPECT_EQ(stoppedReport(stopped),
                  u"The scale is out of range: the board position leaves the 32-bit range. "
                  u"Transfer stopped after 5 lines placed, 1 refused.");
    }
    box.PSet(300, 2, kPaper);
    recorder.lines.clear();
    const auto result = recorder.run(box, in);
    const StatusText text = [](dbx::DbxStatusCode) { return std::u16string(u"Layer Not Found"); };
    EXPECT_EQ(completionReport(result, text), u"5 lines placed, 1 refused: Layer Not Found");

    // The checks before the scan: no layer at all, and a layer whose id leaves 16 bits, which
    // stops the transfer before anything is placed on the layers that fit.
    recorder.lines.clear();
    for (const std::vector<std::int32_t>& none :
         {std::vector<std::int32_t>{}, std::vector<std::int32_t>{-1, -5}}) {
        in.layerIndices = none;
        EXPECT_EQ(recorder.run(box, in).outcome, TransferOutcome::kLayerRefused);
    }
    in.layerIndices = {32767, 0};
    try {
        recorder.run(box, in);
        FAIL() << "no overflow";
    } catch (const TransferStopped& stopped) {
        EXPECT_EQ(stopped.input(), OutOfRange::kLayer);
    }
    EXPECT_TRUE(recorder.lines.empty());
}

TEST(TransferOverflow, WidthLimit) {
    PictureBox box = pixelBox();
    box.PSet(0, 0, kInk);
    Recorder recorder;
    recorder.run(box, input(kInk, "0", "0", "845466"));
    ASSERT_EQ(recorder.lines.size(), 1u);
    EXPECT_EQ(recorder.lines[0].width, 2147483640);
    recorder.captions.clear();
    try {
        recorder.run(box, input(kInk, "0", "0", "845467"));
        FAIL() << "no overflow";
    } catch (const TransferStopped& stopped) {
        EXPECT_EQ(stopped.linesPlaced(), 0);
        EXPECT_TRUE(recorder.captions.empty());  // before the first row
    }
}

TEST(TransferOverflow, YFarOutFailsOnlyWhenARunIsFormed) {
    PictureBox box = pixelBox();
    Recorder recorder;
    EXPECT_EQ(recorder.run(box, input(kInk, "0", "845467")).outcome, TransferOutcome::kCompleted);
    EXPECT_EQ(recorder.run(box, input(kInk, "0", "1e300")).outcome, TransferOutcome::kCompleted);
    box.PSet(0, 0, kInk);
    EXPECT_THROW(recorder.run(box, input(kInk, "0", "845467")), TransferStopped);
    recorder.run(box, input(kInk, "0", "845466"));
    ASSERT_EQ(recorder.lines.size(), 1u);
    EXPECT_EQ(recorder.lines[0].startY, 2147483640);
    // Y keeps its fraction: only the rounded board y decides.
    EXPECT_THROW(recorder.run(box, input(kInk, "0", "845466.9999")), TransferStopped);
    EXPECT_THROW(recorder.run(box, input(kInk, "0", "-845466.9999")), TransferStopped);
}

TEST(TransferOverflow, KeepsTheLinesPlacedBeforeAndCountsThem) {
    PictureBox box = pixelBox();
    box.PSet(0, 0, kInk);
    box.PSet(2, 0, kInk);
    box.PSet(2000, 0, kInk);  // outside: never matches
    box.PSet(300, 1, kInk);   // board x far beyond the 32-bit range at this scale
    box.PSet(0, 2, kInk);
    Recorder recorder;
    recorder.statusOf = [](std::size_t i) { return i == 0 ? 32174 : 0; };
    try {
        recorder.run(box, input(kInk, "0", "0", "10000"));
        FAIL() << "no overflow";
    } catch (const TransferStopped& stopped) {
        EXPECT_EQ(recorder.lines.size(), 2u);
        EXPECT_EQ(stopped.linesPlaced(), 1);
        EXPECT_EQ(stopped.linesRefused(), 1);
        EXPECT_EQ(recorder.captions.size(), 2u);  // stopped on the spot in row 1
        EXPECT_EQ(stoppedReport(stopped),
                  u"The scale is out of range: the board position leaves the 32-bit range. "
                  u"Transfer stopped after 1 line placed, 1 refused.");
    }
}

TEST(TransferOverflow, NudgeAtTheTopOfTheRange) {
    PictureBox box = rowEndBox();
    box.PSet(29, 0, kInk);
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", 2147482347.0 / 2540 - 29);
    Recorder recorder;
    recorder.run(box, input(kInk, text));
    ASSERT_EQ(recorder.lines.size(), 1u);
    ASSERT_EQ(recorder.lines[0].startX, 2147482347);
    EXPECT_EQ(recorder.lines[0].endX, 2147483647);
    std::snprintf(text, sizeof text, "%.17g", 2147482348.0 / 2540 - 29);
    EXPECT_THROW(recorder.run(box, input(kInk, text)), TransferStopped);
    EXPECT_EQ(recorder.lines.size(), 1u);
}

TEST(Transfer, RefusedPlacementsDoNotStopTheScan) {
    PictureBox box = pixelBox();
    for (int y = 0; y < 4; ++y) box.PSet(5, y, kInk);
    Recorder recorder;
    recorder.statusOf = [](std::size_t i) { return i == 1 ? 32174 : (i == 2 ? 32232 : 0); };
    const auto result = recorder.run(box, input(kInk));
    EXPECT_EQ(recorder.lines.size(), 4u);
    EXPECT_EQ(result.linesPlaced, 2);
    EXPECT_EQ(result.linesRefused, 2);
    EXPECT_EQ(result.lastRefusal, 32232);
    const StatusText text = [](dbx::DbxStatusCode status) {
        return u"text of " + std::u16string(u"0123456789").substr(status % 10, 1);
    };
    EXPECT_EQ(completionReport(result, text), u"2 lines placed, 2 refused: text of 2");
}

TEST(Transfer, Reports) {
    TransferResult result;
    result.linesPlaced = 1;
    EXPECT_EQ(completionReport(result, {}), u"1 line placed.");
    result.linesPlaced = 16384;
    EXPECT_EQ(completionReport(result, {}), u"16384 lines placed.");
    result.linesRefused = 1;
    result.lastRefusal = 32174;
    const StatusText text = [](dbx::DbxStatusCode) { return std::u16string(u"Invalid Layer"); };
    EXPECT_EQ(completionReport(result, text), u"16384 lines placed, 1 refused: Invalid Layer");
    result.linesPlaced = 0;
    EXPECT_EQ(completionReport(result, text), u"0 lines placed, 1 refused: Invalid Layer");
    result.linesRefused = 3000;
    result.lastRefusal = 32106;
    const StatusText busy = [](dbx::DbxStatusCode) { return std::u16string(u"Server Busy"); };
    EXPECT_EQ(
        completionReport(result, busy),
        u"0 lines placed, 3000 refused: Server Busy \u2014 the editor is busy with a tool or a "
        u"dialog: press Esc in the editor, then Transfer again.");
    EXPECT_EQ(rowProgressCaption(7), " 7 %");
    EXPECT_EQ(rowProgressCaption(0), " 0 %");
    EXPECT_EQ(rowProgressCaption(99), " 99 %");
}

}  // namespace
