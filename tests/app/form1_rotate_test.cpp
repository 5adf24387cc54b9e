#include <gtest/gtest.h>

#include <QApplication>
#include <QEvent>
#include <QObject>
#include <string>
#include <vector>

#include "app/form1.h"
#include "picture/rotate.h"

using bitlay::app::Form1;
using bitlay::app::UserPrompts;
using bitlay::picture::PictureBox;

namespace {

// Records the caption of a widget each time it is painted, which is what the user sees.
class PaintedCaptions final : public QObject {
  public:
    explicit PaintedCaptions(QPushButton* button) : button_(button) {
        button->installEventFilter(this);
    }
    std::vector<std::string> captions;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == button_ && event->type() == QEvent::Paint)
            captions.push_back(button_->text().toStdString());
        return false;
    }

  private:
    QPushButton* button_;
};

// As after a Load: a picture in Picture1 and its working scale.
void loadInto(PictureBox& picture1, const QImage& picture) {
    picture1.setPicture(picture);
    picture1.setScaleWidth(picture1.Width() / 4);
    picture1.setScaleHeight(picture1.Height() / 4);
}

struct ShownForm {
    Form1 form{
        UserPrompts{[this](QWidget*, const QString& text) { messages.push_back(text); }, {}, {}}};
    std::vector<QString> messages;

    ShownForm() {
        form.show();
        QApplication::processEvents();
    }
};

}  // namespace

TEST(Form1Rotate, ShowsProgressThenItsCaptionAndLeavesTheWorkingScale) {
    ShownForm shown;
    Form1& form = shown.form;
    QImage picture(309, 229, QImage::Format_RGB32);
    picture.fill(Qt::white);
    picture.setPixel(154 + 50, 114, qRgb(255, 0, 0));
    loadInto(form.picture1Model(), picture);
    PaintedCaptions painted(findControls(form).Command5);

    findControls(form).Command5->click();

    EXPECT_TRUE(shown.messages.empty());
    // Two passes of 155 outer steps, each painted at once, each pass ending on the caption.
    ASSERT_EQ(painted.captions.size(), 2u * 156);
    EXPECT_EQ(painted.captions.front(), " 0%");
    EXPECT_EQ(painted.captions[154], " 100%");
    EXPECT_EQ(painted.captions[155], "Rotate 90");
    EXPECT_EQ(painted.captions.back(), "Rotate 90");
    EXPECT_EQ(findControls(form).Command5->text(), "Rotate 90");

    const PictureBox& picture1 = form.picture1Model();
    EXPECT_FALSE(picture1.isPixelScale());
    EXPECT_FLOAT_EQ(picture1.ScaleWidth(), 1173.75f);
    EXPECT_FLOAT_EQ(picture1.ScaleHeight(), 873.75f);
    EXPECT_TRUE(form.picture2Model().isPixelScale());
    // The marked pixel went from right of the centre to above it.
    const int column = 154, row = 114 - 50;
    EXPECT_EQ(picture1.Point(picture1.logicalXOfColumn(column), picture1.logicalYOfRow(row)),
              0x0000FF);
}

TEST(Form1Rotate, AnOverflowIsReportedAndTheBoxIsUsableAfterwards) {
    ShownForm shown;
    Form1& form = shown.form;
    // A source box this wide puts its centre so far out that the first outer step overflows.
    form.picture1Model() = PictureBox(65500 * 15, 15, 0);
    loadInto(form.picture1Model(), QImage());

    findControls(form).Command5->click();

    ASSERT_EQ(shown.messages.size(), 1u);
    EXPECT_TRUE(shown.messages.front().contains("out of range"))
        << shown.messages.front().toStdString();
    EXPECT_EQ(findControls(form).Command5->text(), "Rotate 90");
    EXPECT_FALSE(form.picture1Model().isPixelScale());
    EXPECT_FLOAT_EQ(form.picture1Model().ScaleWidth(), 65500 * 15 / 4.0f);
}
