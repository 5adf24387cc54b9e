#include "app/picture_box_widget.h"

#include <gtest/gtest.h>

#include <QTest>
#include <tuple>
#include <vector>

namespace bitlay::app {
namespace {

struct Press {
    std::int16_t button;
    std::int16_t shift;
    float x;
    float y;
};

class PictureBoxWidgetTest : public ::testing::Test {
  protected:
    PictureBoxWidgetTest() : widget(model, nullptr) {
        widget.setGeometry(0, 0, 313, 233);
        widget.setMouseDownHandler([this](std::int16_t button, std::int16_t shift, float x,
                                          float y) { presses.push_back({button, shift, x, y}); });
        model.setScaleWidth(4695.0f / 4);
        model.setScaleHeight(3495.0f / 4);
    }
    picture::PictureBox model{4695, 3495};
    PictureBoxWidget widget;
    std::vector<Press> presses;
};

TEST_F(PictureBoxWidgetTest, ForwardsButtonShiftAndTheLogicalPointOfThePixel) {
    QTest::mouseClick(&widget, Qt::LeftButton, Qt::ShiftModifier | Qt::AltModifier,
                      QPoint(2 + 10, 2 + 20));
    QTest::mouseClick(&widget, Qt::RightButton, Qt::ControlModifier, QPoint(2, 2));
    QTest::mouseClick(&widget, Qt::MiddleButton, Qt::NoModifier, QPoint(2 + 308, 2 + 228));
    ASSERT_EQ(presses.size(), 3u);
    EXPECT_EQ(presses[0].button, 1);
    EXPECT_EQ(presses[0].shift, 1 | 4);
    EXPECT_FLOAT_EQ(presses[0].x, model.logicalXOfColumn(10));
    EXPECT_FLOAT_EQ(presses[0].y, model.logicalYOfRow(20));
    EXPECT_EQ(model.columnOf(presses[0].x), 10);
    EXPECT_EQ(model.rowOf(presses[0].y), 20);
    EXPECT_EQ(presses[1].button, 2);
    EXPECT_EQ(presses[1].shift, 2);
    EXPECT_EQ(model.columnOf(presses[1].x), 0);
    EXPECT_EQ(presses[2].button, 4);
    EXPECT_EQ(model.columnOf(presses[2].x), 308);
    EXPECT_EQ(model.rowOf(presses[2].y), 228);
}

TEST_F(PictureBoxWidgetTest, PressesOnTheFrameAreNotForwarded) {
    for (const QPoint at :
         {QPoint(0, 5), QPoint(1, 50), QPoint(100, 1), QPoint(311, 50), QPoint(100, 231)})
        QTest::mouseClick(&widget, Qt::LeftButton, Qt::NoModifier, at);
    for (const Press& press : presses)
        ADD_FAILURE() << "forwarded " << press.button << " at column " << model.columnOf(press.x)
                      << ", row " << model.rowOf(press.y);
}

TEST_F(PictureBoxWidgetTest, ShowsTheSurfaceInsideTheFrame) {
    model.setScaleModePixels();
    model.PSet(0, 0, 0x0000FF);      // red
    model.PSet(308, 228, 0xFF0000);  // blue
    const QImage shown = widget.grab().toImage();
    EXPECT_EQ(shown.pixelColor(2, 2), QColor(255, 0, 0));
    EXPECT_EQ(shown.pixelColor(2 + 308, 2 + 228), QColor(0, 0, 255));
    EXPECT_NE(shown.pixelColor(0, 0), QColor(255, 0, 0)) << "the frame is drawn around it";
}

}  // namespace
}  // namespace bitlay::app
