#pragma once

#include <QLabel>

#include "picture/picture_box.h"

namespace bitlay::app {

// A label whose back colour is a colour value as the picture-box model gives it. The value is kept
// as given, so what the colour pick writes is exactly what the transfer reads back.
class SwatchLabel final : public QLabel {
    Q_OBJECT

  public:
    explicit SwatchLabel(QWidget* parent);

    picture::Colour BackColor() const noexcept { return backColor_; }
    void setBackColor(picture::Colour colour);

  private:
    picture::Colour backColor_ = 0;
};

}  // namespace bitlay::app
