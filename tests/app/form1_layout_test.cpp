#include <gtest/gtest.h>

#include <QApplication>
#include <QFontInfo>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/form1.h"

namespace bitlay::app {
namespace {

struct Placement {
    const char* name;
    QRect pixels;  // the designed twips divided by 15, rounded
};

std::ostream& operator<<(std::ostream& out, const Placement& placement) {
    return out << placement.name;
}

class ControlPlacement : public ::testing::TestWithParam<Placement> {};

TEST_P(ControlPlacement, IsAtItsDesignedPlace) {
    Form1 form;
    const auto* control = form.findChild<QWidget*>(QString::fromLatin1(GetParam().name));
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control->geometry(), GetParam().pixels);
}

INSTANTIATE_TEST_SUITE_P(
    EveryControl, ControlPlacement,
    ::testing::Values(
        Placement{"Picture1", {8, 8, 313, 233}},
        Placement{"Command1", {8, 256, 105, 28}},  // 425 twips: 28.33 pixels
        Placement{"Command2", {224, 256, 97, 28}}, Placement{"Command3", {8, 288, 313, 28}},
        Placement{"List2", {128, 336, 81, 82}}, Placement{"Label1", {16, 320, 81, 33}},
        Placement{"Label2", {128, 320, 81, 17}}, Placement{"Text1", {248, 336, 65, 25}},
        Placement{"Text2", {248, 368, 65, 25}}, Placement{"Label3", {224, 336, 25, 25}},
        Placement{"Label4", {224, 368, 25, 25}}, Placement{"Label5", {8, 432, 305, 33}},
        Placement{"Text3", {280, 400, 33, 25}}, Placement{"Label6", {216, 400, 57, 25}},
        Placement{"Picture2", {8, 8, 313, 241}}, Placement{"Command5", {120, 256, 97, 28}},
        Placement{"Label7", {0, 472, 329, 17}}, Placement{"Label8", {16, 360, 89, 33}}),
    [](const auto& info) { return std::string(info.param.name); });

struct Lettering {
    const char* name;
    const char* text;
    const char* family;  // empty: the window's default font
    double points;
};

std::ostream& operator<<(std::ostream& out, const Lettering& lettering) {
    return out << lettering.name;
}

class ControlLettering : public ::testing::TestWithParam<Lettering> {};

TEST_P(ControlLettering, HasItsCaptionAndFont) {
    Form1 form;
    const auto* control = form.findChild<QWidget*>(QString::fromLatin1(GetParam().name));
    ASSERT_NE(control, nullptr);
    QString text;
    if (const auto* button = qobject_cast<const QPushButton*>(control)) text = button->text();
    if (const auto* label = qobject_cast<const QLabel*>(control)) text = label->text();
    if (const auto* box = qobject_cast<const QLineEdit*>(control)) text = box->text();
    EXPECT_EQ(text, QString::fromLatin1(GetParam().text));
    if (*GetParam().family) {
        const QFontInfo used(control->font());
        EXPECT_EQ(used.family(), QString::fromLatin1(GetParam().family));
        EXPECT_DOUBLE_EQ(control->font().pointSizeF(), GetParam().points);
        EXPECT_EQ(control->font().weight(), QFont::Normal);
        EXPECT_FALSE(control->font().italic());
        EXPECT_FALSE(control->font().underline());
        EXPECT_FALSE(control->font().strikeOut());
    } else {
        EXPECT_EQ(control->font(), form.font());
    }
}

INSTANTIATE_TEST_SUITE_P(
    EveryControl, ControlLettering,
    ::testing::Values(Lettering{"Command1", "Load", "Liberation Serif", 14.25},
                      Lettering{"Command2", "Quit", "Liberation Serif", 14.25},
                      Lettering{"Command3", "Transfer Bitmap to PCB", "Liberation Serif", 14.25},
                      Lettering{"Command5", "Rotate 90", "Liberation Serif", 14.25},
                      Lettering{"Label1", "Left Click to Select Color", "Liberation Serif", 9},
                      Lettering{"Label2", "Select Layer", "Liberation Serif", 9},
                      Lettering{"Label3", "X:", "Liberation Serif", 15.75},
                      Lettering{"Label4", "Y:", "Liberation Serif", 15.75},
                      Lettering{"Label6", "Scale :", "Liberation Serif", 15.75},
                      Lettering{"Text1", "", "Liberation Sans", 12},
                      Lettering{"Text2", "", "Liberation Sans", 12},
                      Lettering{"Text3", "", "Liberation Sans", 12}, Lettering{"Label5", "", "", 0},
                      Lettering{"Label8", "", "", 0}, Lettering{"List2", "", "", 0}),
    [](const auto& info) { return std::string(info.param.name); });

// The controls are stacked in the order of the layout, each inside the client area, and no two
// that can be seen overlap by more than the one-pixel seams of the design (Label2 over List2,
// Label3 and Label4 over the text boxes, Label7 past the bottom edge): a mistyped place in the
// table shows up here.
TEST(Window, ControlsStackInLayoutOrderInsideTheClientAreaWithoutOverlapping) {
    Form1 form;
    QStringList stacked, layout;
    for (const QObject* child : form.children())
        // The file dialog and the picture menu are windows of their own, not controls.
        if (child->isWidgetType() && !static_cast<const QWidget*>(child)->isWindow())
            stacked << child->objectName();
    for (const ControlRow& row : kControlRows) layout << QString::fromLatin1(row.name);
    EXPECT_EQ(stacked, layout);
    EXPECT_EQ(layout.size(), 18);
    const QRect clientWithSeam = form.rect().adjusted(0, 0, 1, 1);
    std::vector<const QWidget*> seen;
    for (const QString& name : layout) {
        const auto* control = form.findChild<QWidget*>(name);
        ASSERT_NE(control, nullptr);
        EXPECT_TRUE(clientWithSeam.contains(control->geometry())) << name.toStdString();
        if (control->isHidden()) continue;
        for (const QWidget* other : seen) {
            const QRect common = control->geometry() & other->geometry();
            EXPECT_LE(std::min(common.width(), common.height()), 1)
                << name.toStdString() << " overlaps " << other->objectName().toStdString();
        }
        seen.push_back(control);
    }
}

TEST(Window, ControlsAreFoundByNameAndTheirAbsenceIsAnError) {
    Form1 form;
    const Form1Controls controls = findControls(form);
    EXPECT_EQ(controls.Command3->objectName(), "Command3");
    EXPECT_EQ(controls.CommonDialog1->objectName(), "CommonDialog1");
    QWidget bare;
    EXPECT_THROW(findControls(bare), std::logic_error);
    auto* impostor = new QLabel(&bare);
    impostor->setObjectName(QStringLiteral("Picture1"));
    EXPECT_THROW(findControls(bare), std::logic_error) << "a control of the wrong kind";
}

TEST(Window, HasItsCaptionAndAFixedClientAreaCentredOnTheScreen) {
    Form1 form;
    EXPECT_EQ(form.windowTitle(), "Bitlay Picture. - Corvane Systems - Rev : 2.0");
    EXPECT_EQ(form.size(), QSize(329, 488));
    EXPECT_EQ(form.minimumSize(), QSize(329, 488));
    EXPECT_EQ(form.maximumSize(), QSize(329, 488));
    EXPECT_FALSE(form.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(QFontInfo(form.font()).family(), "Liberation Sans");
    EXPECT_DOUBLE_EQ(form.font().pointSizeF(), 8.25);
    EXPECT_EQ(findControls(form).List2->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    const QPoint offset = form.geometry().center() - screen.center();
    EXPECT_LE(offset.manhattanLength(), 2);
}

TEST(Window, PictureBoxesHaveASunkenFrameOfTwoPixelsAndTheScratchBoxIsNeverSeen) {
    Form1 form;
    form.show();
    EXPECT_EQ(findControls(form).Picture1->contentsRect(), QRect(2, 2, 309, 229));
    EXPECT_EQ(findControls(form).Picture2->contentsRect(), QRect(2, 2, 309, 237));
    EXPECT_EQ(findControls(form).Picture1->frameShadow(), QFrame::Sunken);
    EXPECT_EQ(form.picture1Model().clientWidthPixels(), 309);
    EXPECT_EQ(form.picture2Model().clientHeightPixels(), 237);
    EXPECT_FLOAT_EQ(form.picture1Model().Width(), 4695);
    EXPECT_FLOAT_EQ(form.picture1Model().Height(), 3495);
    EXPECT_FLOAT_EQ(form.picture2Model().Height(), 3615);
    EXPECT_TRUE(findControls(form).Picture1->isVisible());
    EXPECT_FALSE(findControls(form).Picture2->isVisible());
}

TEST(Window, ColoursOfTheMessageLineTheCreditLineAndTheSwatch) {
    Form1 form;
    EXPECT_EQ(findControls(form).Label5->palette().color(QPalette::WindowText),
              QColor(255, 128, 128));
    EXPECT_EQ(findControls(form).Label7->palette().color(QPalette::WindowText),
              QColor(255, 255, 255));
    EXPECT_EQ(findControls(form).Label7->palette().color(QPalette::Window), QColor(128, 128, 128));
    EXPECT_TRUE(findControls(form).Label7->autoFillBackground());
    EXPECT_EQ(findControls(form).Label8->BackColor(), 0);
    EXPECT_EQ(findControls(form).Label8->palette().color(QPalette::Window), QColor(0, 0, 0));
    EXPECT_TRUE(findControls(form).Label8->autoFillBackground());
    findControls(form).Label8->setBackColor(0x00FF8040);  // blue 255, green 128, red 64
    EXPECT_EQ(findControls(form).Label8->BackColor(), 0x00FF8040);
    EXPECT_EQ(findControls(form).Label8->palette().color(QPalette::Window), QColor(64, 128, 255));
}

TEST(Window, LabelsWrapAndTheInstructionTakesSeveralLines) {
    Form1 form;
    for (QLabel* label : form.findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly))
        EXPECT_TRUE(label->wordWrap());
    EXPECT_EQ(findControls(form).Label1->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
    EXPECT_EQ(findControls(form).Label7->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
    findControls(form).Label5->setText(QString::fromLatin1(Form1::kInstructionText));
    const int lineHeight = findControls(form).Label5->fontMetrics().height();
    EXPECT_GE(findControls(form).Label5->heightForWidth(findControls(form).Label5->width()),
              2 * lineHeight);
}

TEST(Window, LayerListKeepsItsOrderAndGivesTheChosenPositionsInIt) {
    Form1 form;
    QListWidget& list = *findControls(form).List2;
    list.addItems({"zeta", "alpha", "mid"});
    EXPECT_EQ(list.item(0)->text(), "zeta");
    EXPECT_TRUE(Form1::ListIndices(list).empty());
    list.item(2)->setSelected(true);
    list.item(0)->setSelected(true);
    EXPECT_EQ(Form1::ListIndices(list), (std::vector<std::int32_t>{0, 2}));
}

class ShownWindow : public ::testing::Test {
  protected:
    void SetUp() override {
        form.show();
        form.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
    }
    Form1 form;
};

TEST_F(ShownWindow, TabMovesThroughTheControlsInTheirOrder) {
    findControls(form).Picture1->setFocus();
    QStringList order{QApplication::focusWidget()->objectName()};
    for (int i = 0; i < 9; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        order << QApplication::focusWidget()->objectName();
    }
    EXPECT_EQ(order, QStringList({"Picture1", "Command1", "Command2", "Command3", "List2", "Text1",
                                  "Text2", "Text3", "Command5", "Picture1"}));
}

TEST_F(ShownWindow, NoButtonReactsToEnterOrEscapeByItself) {
    for (QPushButton* button :
         form.findChildren<QPushButton*>(QString(), Qt::FindDirectChildrenOnly)) {
        EXPECT_FALSE(button->autoDefault()) << button->objectName().toStdString();
        EXPECT_FALSE(button->isDefault()) << button->objectName().toStdString();
    }
    QSignalSpy quit(findControls(form).Command2, &QPushButton::clicked);
    QSignalSpy transfer(findControls(form).Command3, &QPushButton::clicked);
    findControls(form).Text1->setFocus();
    QTest::keyClick(findControls(form).Text1, Qt::Key_Return);
    QTest::keyClick(findControls(form).Text1, Qt::Key_Escape);
    findControls(form).Command3->setFocus();
    QTest::keyClick(findControls(form).Command3, Qt::Key_Return);
    QTest::keyClick(findControls(form).Command3, Qt::Key_Escape);
    EXPECT_EQ(quit.count(), 0);
    EXPECT_EQ(transfer.count(), 0);
    EXPECT_TRUE(form.isVisible());
}

// A person at the layer list: a click, a click with Ctrl or Shift held, or a key with its
// modifiers.
struct Gesture {
    enum Kind { kClick, kKey } kind;
    int rowOrKey;
    Qt::KeyboardModifiers modifiers = Qt::NoModifier;
};

Gesture click(int row, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    return {Gesture::kClick, row, modifiers};
}
Gesture key(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    return {Gesture::kKey, key, modifiers};
}

struct ListCase {
    const char* name;
    std::vector<Gesture> gestures;  // after start-up, which chose the first entry
    std::vector<std::int32_t> chosen;
};

std::ostream& operator<<(std::ostream& out, const ListCase& c) { return out << c.name; }

class LayerChoice : public ::testing::TestWithParam<ListCase> {};

TEST_P(LayerChoice, AsInAnyListThatAllowsSeveral) {
    Form1 form;
    QListWidget& list = *findControls(form).List2;
    list.addItems({"F.Cu", "B.Cu", "F.Paste", "F.Silkscreen", "F.Mask", "B.Mask"});
    list.setCurrentRow(0);  // as start-up leaves it
    form.show();
    form.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
    list.setFocus();
    for (const Gesture& gesture : GetParam().gestures) {
        if (gesture.kind == Gesture::kClick) {
            QListWidgetItem* item = list.item(gesture.rowOrKey);
            list.scrollToItem(item);
            QTest::mouseClick(list.viewport(), Qt::LeftButton, gesture.modifiers,
                              list.visualItemRect(item).center());
        } else {
            QTest::keyClick(&list, static_cast<Qt::Key>(gesture.rowOrKey), gesture.modifiers);
        }
    }
    EXPECT_EQ(Form1::ListIndices(list), GetParam().chosen);
}

INSTANTIATE_TEST_SUITE_P(
    Gestures, LayerChoice,
    ::testing::Values(
        ListCase{"StartUp", {}, {0}}, ListCase{"ClickChoosesOne", {click(4)}, {4}},
        ListCase{"ClickAfterSeveralChoosesOne", {click(1, Qt::ControlModifier), click(3)}, {3}},
        ListCase{"CtrlClickAdds", {click(4, Qt::ControlModifier)}, {0, 4}},
        ListCase{"InTheListsOrder", {click(4), click(0, Qt::ControlModifier)}, {0, 4}},
        ListCase{"CtrlClickTakesAway",
                 {click(4, Qt::ControlModifier), click(0, Qt::ControlModifier)},
                 {4}},
        ListCase{"CtrlClickOnTheLastLeavesNone", {click(0, Qt::ControlModifier)}, {}},
        ListCase{"ShiftClickChoosesARange", {click(1), click(4, Qt::ShiftModifier)}, {1, 2, 3, 4}},
        ListCase{"ArrowsChooseOne", {key(Qt::Key_Down), key(Qt::Key_Down)}, {2}},
        ListCase{"CtrlArrowsMoveWithoutChoosing",
                 {key(Qt::Key_Down, Qt::ControlModifier), key(Qt::Key_Down, Qt::ControlModifier)},
                 {0}},
        ListCase{"CtrlSpaceAddsAndTakesAway",
                 {key(Qt::Key_End, Qt::ControlModifier), key(Qt::Key_Space, Qt::ControlModifier),
                  key(Qt::Key_Up, Qt::ControlModifier), key(Qt::Key_Space, Qt::ControlModifier),
                  key(Qt::Key_Space, Qt::ControlModifier)},
                 {0, 5}}),
    [](const ::testing::TestParamInfo<ListCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace bitlay::app
