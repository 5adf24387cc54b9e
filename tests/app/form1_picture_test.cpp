#include <gtest/gtest.h>

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QMouseEvent>
#include <QTemporaryDir>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include "app/form1.h"

using bitlay::app::Form1;
using bitlay::app::UserPrompts;
using bitlay::picture::Colour;
using bitlay::picture::colourFromRgb;
using bitlay::picture::PictureBox;

namespace {

constexpr QRgb kLeft = qRgb(200, 30, 10);
constexpr QRgb kRight = qRgb(5, 60, 250);

// A window with its dialog and message boxes replaced: the test queues the dialog's answers and
// collects the messages.
struct LoadingForm {
    Form1 form{UserPrompts{[this](QWidget*, const QString& text) { messages.push_back(text); },
                           [this](QFileDialog& dialog) { return chooseFile(dialog); },
                           {}}};
    std::deque<std::optional<QString>> answers;
    std::vector<QFileDialog*> dialogsShown;
    std::vector<QString> messages;
    QTemporaryDir dir;
    // The user at the dialog: by default the next queued answer.
    std::function<std::optional<QString>(QFileDialog& dialog)> chooseFile =
        [this](QFileDialog& dialog) {
            dialogsShown.push_back(&dialog);
            std::optional<QString> answer = answers.front();
            answers.pop_front();
            return answer;
        };

    LoadingForm() {
        form.show();
        QApplication::processEvents();
    }

    // A picture whose left half is kLeft and right half kRight, saved in the given format.
    QString write(const char* name, int width, int height) {
        QImage image(width, height, QImage::Format_RGB32);
        image.fill(kLeft);
        for (int y = 0; y < height; ++y)
            for (int x = width / 2; x < width; ++x) image.setPixel(x, y, kRight);
        const QString path = dir.filePath(QString::fromLatin1(name));
        EXPECT_TRUE(image.save(path));
        return path;
    }

    void load(const std::optional<QString>& answer) {
        answers.push_back(answer);
        findControls(form).Command1->click();
    }

    // A press on Picture1 over the given pixel of its client area, through the widget.
    void press(int column, int row, Qt::MouseButton button,
               Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        const QPointF at(findControls(form).Picture1->contentsRect().topLeft() +
                         QPoint(column, row));
        QMouseEvent event(QEvent::MouseButtonPress, at,
                          findControls(form).Picture1->mapToGlobal(at), button, button, modifiers);
        QApplication::sendEvent(findControls(form).Picture1, &event);
    }

    Colour swatch() const { return findControls(form).Label8->BackColor(); }
};

}  // namespace

struct PictureSize {
    const char* file;
    int width;
    int height;
};

class Form1Load : public ::testing::TestWithParam<PictureSize> {};

TEST_P(Form1Load, ShowsThePictureInItsWorkingScale) {
    LoadingForm shown;
    Form1& form = shown.form;
    const PictureSize size = GetParam();
    const QString path = shown.write(size.file, size.width, size.height);
    shown.load(path);

    ASSERT_TRUE(shown.messages.empty()) << shown.messages.front().toStdString();
    ASSERT_EQ(shown.dialogsShown.size(), 1u);
    const QFileDialog& dialog = *shown.dialogsShown.front();
    EXPECT_EQ(&dialog, findControls(form).CommonDialog1);
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Open BMP file."));
    EXPECT_EQ(dialog.defaultSuffix(), QStringLiteral("bmp"));
    ASSERT_EQ(dialog.nameFilters().size(), 2);
    EXPECT_EQ(dialog.nameFilters().at(0), QStringLiteral("BMP and SVG files (*.bmp *.svg)"));
    for (const char* pattern : {"*.bmp", "*.png", "*.jpg", "*.gif", "*.svg"})
        EXPECT_TRUE(dialog.nameFilters().at(1).contains(QLatin1String(pattern))) << pattern;

    PictureBox& picture1 = form.picture1Model();
    EXPECT_EQ(form.loadedPicture().size(), QSize(size.width, size.height));
    EXPECT_EQ(picture1.picture().size(), QSize(size.width, size.height));
    EXPECT_FLOAT_EQ(picture1.ScaleWidth(), 1173.75f);
    EXPECT_FLOAT_EQ(picture1.ScaleHeight(), 873.75f);
    EXPECT_EQ(picture1.Point(0, 0), colourFromRgb(kLeft));

    // What the window shows is the surface.
    const QImage shownImage = findControls(form).Picture1->grab().toImage();
    const QPoint origin = findControls(form).Picture1->contentsRect().topLeft();
    EXPECT_EQ(shownImage.pixel(origin) & 0xFFFFFF, kLeft & 0xFFFFFF);
}

INSTANTIATE_TEST_SUITE_P(AnySize, Form1Load,
                         ::testing::Values(PictureSize{"small.bmp", 40, 20},
                                           PictureSize{"large.bmp", 1000, 700},
                                           PictureSize{"other.png", 309, 229}),
                         [](const auto& info) { return std::string(info.param.file, 5); });

TEST(Form1Load, AnSvgLogoIsShownAtItsOwnSizeAndItsColoursPicked) {
    LoadingForm shown;
    const QString logo = shown.dir.filePath("logo.svg");
    ASSERT_TRUE(QFile::copy(QStringLiteral(BITLAY_TEST_DATA "/artwork/logo.svg"), logo));
    shown.load(logo);
    ASSERT_TRUE(shown.messages.empty()) << shown.messages.front().toStdString();
    EXPECT_EQ(shown.form.loadedPicture().size(), QSize(120, 60));
    EXPECT_FLOAT_EQ(shown.form.picture1Model().ScaleWidth(), 1173.75f);
    // The ring, the bolt, the ground, and beyond the picture the box.
    shown.press(30, 6, Qt::LeftButton);
    EXPECT_EQ(shown.swatch(), colourFromRgb(qRgb(0, 0, 0)));
    shown.press(30, 20, Qt::LeftButton);
    EXPECT_EQ(shown.swatch(), colourFromRgb(qRgb(208, 16, 16)));
    shown.press(119, 59, Qt::LeftButton);
    EXPECT_EQ(shown.swatch(), colourFromRgb(qRgb(255, 255, 255)));
    shown.press(120, 59, Qt::LeftButton);
    EXPECT_EQ(shown.swatch(), shown.form.picture1Model().backColor());
}

TEST(Form1Load, CancelLeavesTheWorkAndOneDialogServesEveryLoad) {
    LoadingForm shown;
    PictureBox& picture1 = shown.form.picture1Model();
    shown.load(shown.write("first.bmp", 40, 20));
    shown.load(shown.write("second.bmp", 60, 30));
    ASSERT_EQ(shown.dialogsShown.size(), 2u);
    EXPECT_EQ(shown.dialogsShown[0], shown.dialogsShown[1]);
    ASSERT_EQ(shown.form.loadedPicture().width(), 60);

    // Drawing on the surface stands in for a rotation the user does not want to lose.
    picture1.setScaleModePixels();
    picture1.PSet(1, 1, 0x00FF00);
    const QImage before = picture1.surface().copy();
    shown.load(std::nullopt);
    EXPECT_TRUE(shown.messages.empty());
    EXPECT_TRUE(picture1.surface() == before);
    EXPECT_TRUE(picture1.isPixelScale());
    EXPECT_EQ(shown.form.loadedPicture().width(), 60);
}

TEST(Form1Load, TheNextLoadStartsInTheLastPicturesFolderWithItsName) {
    LoadingForm shown;
    const QString first = shown.write("first.bmp", 40, 20);
    shown.load(first);
    QString folder, nameBox;
    shown.chooseFile = [&](QFileDialog& dialog) {
        folder = dialog.directory().absolutePath();
        // Qt's own dialog keeps the name box among its children; a native one has none.
        if (const auto* edit = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
            nameBox = edit->text();
        return std::optional<QString>();
    };
    findControls(shown.form).Command1->click();
    EXPECT_EQ(folder, QFileInfo(first).absolutePath());
    EXPECT_EQ(nameBox, QStringLiteral("first.bmp"));
    EXPECT_EQ(shown.form.loadedPicture().width(), 40) << "a cancel changes nothing";
}

TEST(Form1Load, AFailedLoadIsReportedAndChangesNothing) {
    LoadingForm shown;
    PictureBox& picture1 = shown.form.picture1Model();
    shown.load(shown.write("good.bmp", 40, 20));
    const QString broken = shown.dir.filePath("broken.bmp");
    QFile file(broken);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("BM but nothing after it");
    file.close();
    const QString missing = shown.dir.filePath("missing.bmp");

    for (const QString& path : {broken, missing}) {
        picture1.setScaleWidth(100);
        shown.messages.clear();
        shown.load(path);
        ASSERT_EQ(shown.messages.size(), 1u);
        EXPECT_TRUE(shown.messages[0].startsWith("Cannot load picture \"" + path + "\": "))
            << shown.messages[0].toStdString();
        EXPECT_EQ(shown.form.loadedPicture().width(), 40);
        EXPECT_EQ(picture1.picture().width(), 40);
        EXPECT_FLOAT_EQ(picture1.ScaleWidth(), 100);
        EXPECT_FLOAT_EQ(picture1.ScaleHeight(), 873.75f);
    }
}

TEST(Form1Pick, LeftClickPicksThePixelAndOtherButtonsDoNothing) {
    LoadingForm shown;
    const Colour background = shown.form.picture1Model().backColor();
    // Before the first Load the box shows, and a pick yields, its background.
    shown.press(10, 10, Qt::LeftButton);
    EXPECT_EQ(shown.swatch(), background);

    shown.load(shown.write("halves.bmp", 40, 20));
    shown.press(5, 5, Qt::LeftButton);
    EXPECT_EQ(shown.swatch(), colourFromRgb(kLeft));
    shown.press(20, 19, Qt::LeftButton, Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier);
    EXPECT_EQ(shown.swatch(), colourFromRgb(kRight));
    shown.press(19, 0, Qt::LeftButton);
    EXPECT_EQ(shown.swatch(), colourFromRgb(kLeft));

    shown.press(30, 5, Qt::RightButton);
    shown.press(30, 5, Qt::MiddleButton);
    EXPECT_EQ(shown.swatch(), colourFromRgb(kLeft));

    // Beside and below the small picture lies the background.
    shown.press(40, 5, Qt::LeftButton);
    EXPECT_EQ(shown.swatch(), background);
    shown.press(5, 20, Qt::LeftButton);
    EXPECT_EQ(shown.swatch(), background);
    shown.press(308, 228, Qt::LeftButton);
    EXPECT_EQ(shown.swatch(), background);
    EXPECT_TRUE(shown.messages.empty());
}

TEST(Form1Pick, EveryPixelOfTheClientAreaPicksItself) {
    LoadingForm shown;
    Form1& form = shown.form;
    // Each pixel its own colour, so a pick of a neighbour shows.
    QImage unique(309, 229, QImage::Format_RGB32);
    for (int y = 0; y < unique.height(); ++y)
        for (int x = 0; x < unique.width(); ++x) unique.setPixel(x, y, qRgb(x & 0xFF, x >> 8, y));
    const QString path = shown.dir.filePath("unique.bmp");
    ASSERT_TRUE(unique.save(path));
    shown.load(path);
    const PictureBox& picture1 = form.picture1Model();
    for (int row = 0; row < picture1.clientHeightPixels(); ++row)
        for (int column = 0; column < picture1.clientWidthPixels(); ++column) {
            form.Picture1_MouseDown(1, 0, picture1.logicalXOfColumn(column),
                                    picture1.logicalYOfRow(row));
            ASSERT_EQ(shown.swatch(), colourFromRgb(unique.pixel(column, row)))
                << column << "," << row;
        }
}
