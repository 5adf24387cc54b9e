#include <gtest/gtest.h>

#include <QApplication>
#include <QEvent>
#include <QImage>
#include <QTemporaryDir>
#include <functional>
#include <string>
#include <vector>

#include "app/form1.h"
#include "dbx/design_link.h"
#include "dbx/library_loader.h"
#include "tests/app/fake_dbx_fixture.h"
#include "tests/fakedbx/fake_dbx.h"

namespace bitlay::app {
namespace {

std::string describe(const dbx::LineRecord& line) {
    return "width " + std::to_string(line.width) + " start (" + std::to_string(line.startX) + ", " +
           std::to_string(line.startY) + ") end (" + std::to_string(line.endX) + ", " +
           std::to_string(line.endY) + ") layer " + std::to_string(line.layerId);
}

std::vector<std::string> placedLines() {
    std::vector<std::string> lines;
    for (const fakedbx::Call& call : fakedbx::callsOf("TPlaceLine"))
        lines.push_back(describe(call.line));
    return lines;
}

// A click on Transfer through the window: the picture loaded and picked as a user would, the lines
// arriving at the library, the button and the message line afterwards.
class TransferClick : public WithFakeDbx<> {
  protected:
    void SetUp() override {
        WithFakeDbx::SetUp();
        fakedbx::script().layers[1] = fakedbx::layerNamed("F.Cu");
        fakedbx::script().layers[2] = fakedbx::layerNamed("B.Cu");

        // Three red points in row 1 of a small picture, then white.
        QImage image(8, 4, QImage::Format_RGB32);
        image.fill(qRgb(255, 255, 255));
        for (int x = 2; x <= 4; ++x) image.setPixel(x, 1, qRgb(255, 0, 0));
        ASSERT_TRUE(dir_.isValid());
        const QString path = dir_.filePath("logo.bmp");
        ASSERT_TRUE(image.save(path, "BMP"));
        chooseFile = [path](QFileDialog&) { return std::optional<QString>(path); };

        form.Form_Load();
        findControls(form).Command1->click();
        const picture::PictureBox& box = form.picture1Model();
        form.Picture1_MouseDown(1, 0, box.logicalXOfColumn(3), box.logicalYOfRow(1));
        fakedbx::reset();
    }

    Form1 form{UserPrompts{[this](QWidget*, const QString& text) { messages.push_back(text); },
                           [this](QFileDialog& dialog) { return chooseFile(dialog); },
                           {}}};
    std::vector<QString> messages;
    // The user at the file dialog.
    std::function<std::optional<QString>(QFileDialog& dialog)> chooseFile;

  private:
    QTemporaryDir dir_;
};

TEST_F(TransferClick, PlacesEachRunOnTheChosenLayerAndReportsTheCount) {
    findControls(form).List2->setCurrentRow(1);
    findControls(form).Text1->setText("1");
    findControls(form).Text2->setText("2");
    findControls(form).Text3->setText("1");
    findControls(form).Command3->click();
    ASSERT_TRUE(messages.empty()) << messages.front().toStdString();
    // Pixel columns 2..4 span logical x 7.5..18.75: points 8 to 18, closed by point 19 (white).
    // Pixel row 1 spans logical y 3.75..7.5: rows 4 to 7.
    std::vector<std::string> expected;
    for (int y = 4; y <= 7; ++y)
        expected.push_back("width 2540 start (" + std::to_string(2540 + 8 * 2540) + ", " +
                           std::to_string(5080 - y * 2540) + ") end (" +
                           std::to_string(2540 + 19 * 2540) + ", " +
                           std::to_string(5080 - y * 2540) + ") layer 2");
    EXPECT_EQ(placedLines(), expected);
    EXPECT_EQ(findControls(form).Label5->text(), "4 lines placed.");
    EXPECT_EQ(findControls(form).Command3->text(), "Transfer Bitmap to PCB");
    for (const fakedbx::Call& call : fakedbx::callsOf("TPlaceLine"))
        EXPECT_EQ(call.context, fakedbx::openedContext());
}

TEST_F(TransferClick, PlacesEachRunOnEveryChosenLayerInTheListsOrder) {
    QListWidget& list = *findControls(form).List2;
    list.item(1)->setSelected(true);  // added to F.Cu, which start-up chose
    findControls(form).Command3->click();
    const std::vector<fakedbx::Call> placed = fakedbx::callsOf("TPlaceLine");
    ASSERT_EQ(placed.size(), 8u);
    for (std::size_t i = 0; i < placed.size(); i += 2) {
        EXPECT_EQ(placed[i].line.layerId, 1);
        EXPECT_EQ(placed[i + 1].line.layerId, 2);
        dbx::LineRecord sameLine = placed[i + 1].line;
        sameLine.layerId = 1;
        EXPECT_EQ(describe(sameLine), describe(placed[i].line));
    }
    EXPECT_EQ(findControls(form).Label5->text(), "8 lines placed on 2 layers.");
    EXPECT_EQ(findControls(form).Command3->text(), "Transfer Bitmap to PCB");
}

// Records the caption the button shows at each of its paints.
class PaintedCaptions final : public QObject {
  public:
    explicit PaintedCaptions(QWidget* button) : button_(button) {
        button->installEventFilter(this);
    }
    std::vector<std::string> captions;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == button_ && event->type() == QEvent::Paint)
            captions.push_back(button_->property("text").toString().toStdString());
        return false;
    }

  private:
    QWidget* button_;
};

TEST_F(TransferClick, EachPercentageIsPaintedOnceInOrder) {
    form.show();
    QApplication::processEvents();
    PaintedCaptions painted(findControls(form).Command3);
    findControls(form).Command3->click();
    std::vector<std::string> expected;
    for (int percent = 0; percent < 100; ++percent)
        expected.push_back(" " + std::to_string(percent) + " %");
    EXPECT_EQ(painted.captions, expected);
    EXPECT_EQ(findControls(form).Command3->text(), "Transfer Bitmap to PCB");
}

TEST_F(TransferClick, RefusedPlacementsGoOnAndAreReported) {
    fakedbx::script().placeStatus = 32232;
    findControls(form).Command3->click();
    EXPECT_EQ(placedLines().size(), 4u);
    EXPECT_EQ(findControls(form).Label5->text(),
              "0 lines placed, 4 refused: Item Outside Workspace");
    EXPECT_EQ(dbx::link::DbxStatus, 32232);
}

TEST_F(TransferClick, ScaleCheckComesFirstAndTouchesNothingElse) {
    findControls(form).List2->setCurrentRow(-1);
    findControls(form).Text3->setText("0.99");
    findControls(form).Command3->click();
    EXPECT_EQ(findControls(form).Label5->text(), "Values for SCALE should be 1 or bigger.");
    findControls(form).Text3->setText("1");
    findControls(form).Command3->click();
    EXPECT_EQ(findControls(form).Label5->text(), "Select Destination layer on the PCB database.");
    EXPECT_TRUE(placedLines().empty());
    EXPECT_EQ(findControls(form).Command3->text(), "Transfer Bitmap to PCB");
}

TEST_F(TransferClick, AnOverflowStopsWithTheCountAndTheCaptionBack) {
    findControls(form).Text2->setText("900000");  // board y beyond the 32-bit range
    findControls(form).Command3->click();
    EXPECT_TRUE(placedLines().empty());
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].indexOf("0 lines"), -1) << messages[0].toStdString();
    EXPECT_EQ(findControls(form).Command3->text(), "Transfer Bitmap to PCB");
}

TEST_F(TransferClick, AnOverflowNamesTheInputInTheBoxAndTheMessageLine) {
    // The red run covers points 8 to 18 of rows 4 to 7, closed by point 19.
    const struct {
        const char* x;
        const char* y;
        const char* scale;
        bool refuse;
        const char* sentence;
    } cases[] = {
        {"0", "900000", "1", false,
         "Y is out of range: the board position leaves the 32-bit range. Transfer stopped after 0 "
         "lines placed."},
        {"900000", "0", "1", false,
         "X is out of range: the board position leaves the 32-bit range. Transfer stopped after 0 "
         "lines placed."},
        {"845460", "0", "1", false,  // the corner fits, point 19 does not
         "X is out of range: the board position leaves the 32-bit range. Transfer stopped after 0 "
         "lines placed."},
        {"0", "-845460", "1", false,  // rows 4 to 6 fit, row 7 does not
         "Y is out of range: the board position leaves the 32-bit range. Transfer stopped after 3 "
         "lines placed."},
        {"0", "-845460", "1", true,
         "Y is out of range: the board position leaves the 32-bit range. Transfer stopped after 0 "
         "lines placed, 3 refused."},
        {"0", "0", "845467", false,
         "The scale is out of range: the line width leaves the 32-bit range. Transfer stopped "
         "after 0 lines placed."},
        {"0", "0", "1e10", false,
         "The scale is out of range: the line width leaves the 32-bit range. Transfer stopped "
         "after 0 lines placed."},
        {"0", "0", "400000", false,  // a fitting width, but point 8 lies 8 pitches away
         "The scale is out of range: the board position leaves the 32-bit range. Transfer stopped "
         "after 0 lines placed."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.x) + " " + c.y + " " + c.scale);
        fakedbx::reset();
        fakedbx::script().placeStatus = c.refuse ? 32232 : 0;
        messages.clear();
        findControls(form).Label5->setText("Select Destination layer on the PCB database.");
        findControls(form).Text1->setText(c.x);
        findControls(form).Text2->setText(c.y);
        findControls(form).Text3->setText(c.scale);
        findControls(form).Command3->click();
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0], c.sentence);
        EXPECT_EQ(findControls(form).Label5->text(), c.sentence);
        EXPECT_EQ(findControls(form).Command3->text(), "Transfer Bitmap to PCB");
    }
}

TEST_F(TransferClick, ALinkFailureStopsWithTheCaptionBackAndIsReported) {
    dbx::resetLinkForTesting("libdbx32partial.so");  // has no TPlaceLine
    form.show();
    QApplication::processEvents();
    PaintedCaptions painted(findControls(form).Command3);
    findControls(form).Command3->click();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].contains("has no function TPlaceLine")) << messages[0].toStdString();
    EXPECT_FALSE(painted.captions.empty()) << "the progress was shown before the first line";
    EXPECT_EQ(findControls(form).Command3->text(), "Transfer Bitmap to PCB");
}

TEST_F(TransferClick, AfterARotationTheTurnedPictureIsPlaced) {
    // A box-sized picture with a three-pixel bar beside the centre, so the turn keeps it inside.
    QImage image(309, 229, QImage::Format_RGB32);
    image.fill(qRgb(255, 255, 255));
    for (int x = 160; x <= 162; ++x) image.setPixel(x, 100, qRgb(255, 0, 0));
    QTemporaryDir dir;
    const QString path = dir.filePath("centre.bmp");
    ASSERT_TRUE(image.save(path, "BMP"));
    chooseFile = [path](QFileDialog&) { return std::optional<QString>(path); };
    findControls(form).Command1->click();
    findControls(form).Command5->click();
    ASSERT_TRUE(messages.empty()) << messages.front().toStdString();
    EXPECT_EQ(form.picture1Model().ScaleWidth(), 1173.75f);
    findControls(form).Command3->click();
    // The three-point bar now stands upright: one pixel wide in three pixel rows, so every line
    // starts at the same board x and they cover about 3 × 3.75 scan rows.
    const std::vector<fakedbx::Call> placed = fakedbx::callsOf("TPlaceLine");
    ASSERT_GE(placed.size(), 10u);
    ASSERT_LE(placed.size(), 12u);
    for (const fakedbx::Call& call : placed) EXPECT_EQ(call.line.startX, placed[0].line.startX);
}

}  // namespace
}  // namespace bitlay::app
