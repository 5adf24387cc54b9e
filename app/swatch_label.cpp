#include "app/swatch_label.h"

namespace bitlay::app {

SwatchLabel::SwatchLabel(QWidget* parent) : QLabel(parent) {
    setAutoFillBackground(true);
    setBackColor(0);
}

void SwatchLabel::setBackColor(picture::Colour colour) {
    backColor_ = colour;
    QPalette colours = palette();
    colours.setColor(QPalette::Window, QColor(picture::rgbFromColour(colour)));
    setPalette(colours);
}

}  // namespace bitlay::app
