// The picture menu through the window: its items, the dialogs driven by their keys, and what
// Picture1 holds after each.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QPainter>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>
#include <functional>

#include "app/form1.h"
#include "app/level_dialog.h"
#include "picture/prepare.h"
#include "picture/rotate.h"

using bitlay::app::findControls;
using bitlay::app::Form1;
using bitlay::app::LevelDialog;
using bitlay::app::UserPrompts;
namespace picture = bitlay::picture;

namespace {

constexpr QRgb kInk = qRgb(30, 30, 160);

// A window whose file dialog answers with a smooth logo and whose level dialogs a test drives.
struct PreparingForm {
    QTemporaryDir dir;
    std::function<int(LevelDialog& dialog)> atDialog;
    std::vector<QString> messages;
    Form1 form{UserPrompts{
        [this](QWidget*, const QString& text) { messages.push_back(text); },
        [this](QFileDialog&) { return std::optional<QString>(logoPath()); },
        [this](QDialog& dialog) { return atDialog(dynamic_cast<LevelDialog&>(dialog)); }}};

    PreparingForm() {
        form.show();
        QApplication::processEvents();
    }

    QString logoPath() const {
        QImage logo(200, 120, QImage::Format_RGB32);
        logo.fill(Qt::white);
        QPainter painter(&logo);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setBrush(QColor(kInk));
        painter.setPen(Qt::NoPen);
        painter.drawEllipse(QRectF(10.5, 10.5, 150.3, 90.6));
        painter.end();
        const QString path = dir.filePath(QStringLiteral("logo.png"));
        EXPECT_TRUE(logo.save(path));
        return path;
    }

    void load() { findControls(form).Command1->click(); }
    void choose(const char* item) {
        QAction* action = form.pictureMenu().findChild<QAction*>(QString::fromLatin1(item));
        ASSERT_NE(action, nullptr) << item;
        action->trigger();
    }
    QString message() const { return findControls(form).Label5->text(); }
    QImage surface() { return form.picture1Model().surface().copy(); }
};

}  // namespace

TEST(PictureMenu, OffersEachPreparationWithItsMnemonicAndATooltipSaysSo) {
    PreparingForm shown;
    QStringList items;
    for (const QAction* action : shown.form.pictureMenu().actions())
        if (!action->isSeparator()) items << action->objectName() + " " + action->text();
    EXPECT_EQ(items, (QStringList{"BlackAndWhite &Black and white…", "FlatColours &Flat colours…",
                                  "FitToBox Fi&t to the box", "Mirror &Mirror",
                                  "OriginalPicture &Original picture"}));
    EXPECT_EQ(findControls(shown.form).Picture1->toolTip(),
              "Click the colour to transfer. Right-click to make the picture black and white, "
              "flat colours, fit or mirrored.");
    EXPECT_EQ(findControls(shown.form).Picture1->contextMenuPolicy(), Qt::CustomContextMenu);
}

// Esc puts back exactly what Picture1 held, however far the preview went, and says nothing.
TEST(PictureMenu, EscInADialogPutsBackThePictureAsItWas) {
    for (const char* item : {"BlackAndWhite", "FlatColours"}) {
        PreparingForm shown;
        shown.load();
        shown.form.Command5_Click();  // a surface that differs from the box's picture
        const QImage before = shown.surface();
        const QString messageBefore = shown.message();
        bool previewed = false;
        shown.atDialog = [&](LevelDialog& dialog) {
            dialog.show();
            QTest::keyClick(dialog.focusWidget(), Qt::Key_Left);
            previewed = shown.surface() != before;
            QTest::keyClick(dialog.focusWidget(), Qt::Key_Escape);
            return dialog.result();
        };
        shown.choose(item);
        EXPECT_TRUE(previewed) << item << ": the box shows the preview while the dialog is open";
        EXPECT_EQ(shown.surface(), before) << item;
        EXPECT_EQ(shown.message(), messageBefore) << item;
        EXPECT_FLOAT_EQ(shown.form.picture1Model().ScaleWidth(), 1173.75f) << item;
    }
}

// The slider has the focus: an arrow key moves the level, Enter keeps it, and the message line
// says what was done.
TEST(PictureMenu, ArrowsAndEnterKeepALevelAndTheMessageSaysIt) {
    PreparingForm shown;
    shown.load();
    const int start = picture::otsuLevel(shown.surface());
    shown.atDialog = [](LevelDialog& dialog) {
        dialog.show();
        QTest::keyClick(dialog.focusWidget(), Qt::Key_Right);
        QTest::keyClick(dialog.focusWidget(), Qt::Key_Right);
        QTest::keyClick(dialog.focusWidget(), Qt::Key_Return);
        return dialog.result();
    };
    shown.choose("BlackAndWhite");
    EXPECT_EQ(shown.message(),
              QStringLiteral("Black and white at level %1: 2 colours.").arg(start + 2));
    EXPECT_EQ(picture::colourCount(shown.surface()), 2);

    shown.atDialog = [](LevelDialog& dialog) {
        dialog.show();
        QTest::keyClick(dialog.focusWidget(), Qt::Key_Return);
        return dialog.result();
    };
    shown.choose("OriginalPicture");
    shown.choose("FlatColours");
    EXPECT_EQ(shown.message(), QStringLiteral("Flat colours: 2 colours."));
    EXPECT_EQ(shown.form.picture1Model().Point(300, 200), picture::colourFromRgb(kInk))
        << "the ink stays its own colour";
}

// A preparation is Picture1's picture from then on: Rotate 90 turns it and brings back no
// colour of the loaded picture where its passes do not reach.
TEST(PictureMenu, RotateKeepsAPreparation) {
    PreparingForm shown;
    shown.load();
    shown.atDialog = [](LevelDialog& dialog) { return int(dialog.Accepted); };
    shown.choose("BlackAndWhite");
    shown.form.Command5_Click();
    const QRgb scratch = picture::rgbFromColour(shown.form.picture2Model().backColor());
    for (const picture::ColourCount& colour : picture::colourCounts(shown.surface()))
        EXPECT_TRUE(colour.rgb == qRgb(0, 0, 0) || colour.rgb == qRgb(255, 255, 255) ||
                    colour.rgb == scratch)
            << std::hex << colour.rgb;
}

// Fit and the original picture start from the picture as loaded; before any Load there is none,
// and the menu says so instead of clearing the box.
TEST(PictureMenu, FitAndOriginalStartFromTheLoadedPicture) {
    PreparingForm shown;
    const QImage empty = shown.surface();
    shown.choose("FitToBox");
    EXPECT_EQ(shown.surface(), empty);
    EXPECT_EQ(shown.message(), QStringLiteral("Load a picture first, then fit it to the box."));

    shown.load();
    const QImage loaded = shown.surface();
    shown.choose("Mirror");
    shown.choose("FitToBox");
    EXPECT_EQ(shown.message(),
              QStringLiteral("Fitted to the box: 309 × 185 pixels, from 200 × 120."));
    EXPECT_EQ(shown.form.picture1Model().picture().size(), QSize(309, 185));
    shown.choose("OriginalPicture");
    EXPECT_EQ(shown.surface(), loaded);
    EXPECT_EQ(shown.message(), QStringLiteral("The picture as loaded: 200 × 120 pixels."));
}

// A pick of a colour whose close shades cover many more pixels suggests flat colours; a pick of
// a colour without takes the suggestion back, and a pick in flat colours suggests nothing.
TEST(PictureMenu, APickWithManyCloseShadesSuggestsFlatColours) {
    PreparingForm shown;
    QImage shaded(300, 200, QImage::Format_RGB32);
    for (int y = 0; y < shaded.height(); ++y)
        for (int x = 0; x < shaded.width(); ++x) shaded.setPixel(x, y, qRgb(x % 9, y % 7, 3));
    shown.form.picture1Model().setPicture(shaded);
    picture::setWorkingScale(shown.form.picture1Model());
    const picture::PictureBox& box = shown.form.picture1Model();
    const auto pick = [&](int column) {
        shown.form.Picture1_MouseDown(1, 0, box.logicalXOfColumn(column), box.logicalYOfRow(0));
        QApplication::processEvents();  // the window shows the pick, then looks further
    };
    pick(0);
    // (0, 0, 3) lies in 34 columns of 29 rows each; the other 59,014 pixels of the picture are
    // shades close to it, and the box's light background beside it is not.
    EXPECT_EQ(shown.message(),
              QStringLiteral("This colour covers 986 pixels; 59,014 more have a shade close to "
                             "it. Right-click the picture to make its colours flat."));
    pick(305);
    EXPECT_EQ(shown.message().toStdString(), Form1::kInstructionText);

    shown.atDialog = [](LevelDialog& dialog) { return int(dialog.Accepted); };
    shown.choose("FlatColours");
    const QString flat = shown.message();
    pick(0);
    EXPECT_EQ(shown.message(), flat);
}
