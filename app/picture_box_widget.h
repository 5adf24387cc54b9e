#pragma once

#include <QFrame>
#include <cstdint>
#include <functional>

#include "picture/picture_box.h"

namespace bitlay::app {

// The on-screen face of a picture-box model: a 2-pixel sunken frame around the model's drawing
// surface. The model owns every pixel; the widget only shows it and reports presses. After the
// model's surface changed, update() shows it later and repaint() at once, inside a running handler.
class PictureBoxWidget final : public QFrame {
    Q_OBJECT

  public:
    // Button 1 left, 2 right, 4 middle; shift bits 1 Shift, 2 Ctrl, 4 Alt; X and Y in the model's
    // current logical scale, at the centre of the pixel under the pointer.
    using MouseDownHandler =
        std::function<void(std::int16_t button, std::int16_t shift, float x, float y)>;

    PictureBoxWidget(picture::PictureBox& model, QWidget* parent);

    picture::PictureBox& model() noexcept { return model_; }
    const picture::PictureBox& model() const noexcept { return model_; }

    void setMouseDownHandler(MouseDownHandler handler) { mouseDown_ = std::move(handler); }

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

  private:
    picture::PictureBox& model_;
    MouseDownHandler mouseDown_;
};

}  // namespace bitlay::app
