#include "picture/picture_box.h"

#include <QPainter>

#include <algorithm>
#include <cmath>

namespace bitlay::picture {

Colour colourFromRgb(QRgb rgb) noexcept {
    return qRed(rgb) + 256 * qGreen(rgb) + 65536 * qBlue(rgb);
}

QRgb rgbFromColour(Colour colour) noexcept {
    return qRgb(colour & 0xFF, (colour >> 8) & 0xFF, (colour >> 16) & 0xFF);
}

PictureBox::PictureBox(float outerWidthTwips, float outerHeightTwips, int framePixels)
    : outerWidth_(outerWidthTwips), outerHeight_(outerHeightTwips) {
    const auto client = [framePixels](float twips) {
        return std::max(0, static_cast<int>(std::lround(twips / kTwipsPerPixel)) - 2 * framePixels);
    };
    surface_ = QImage(client(outerWidthTwips), client(outerHeightTwips), QImage::Format_RGB32);
    // Picture boxes start in twips.
    scaleWidth_ = static_cast<float>(surface_.width() * kTwipsPerPixel);
    scaleHeight_ = static_cast<float>(surface_.height() * kTwipsPerPixel);
    updateMapping();
    Cls();
}

void PictureBox::setPicture(const QImage& picture) {
    picture_ = picture;
    Cls();
}

void PictureBox::setScaleWidth(float width) {
    scaleWidth_ = width;
    pixelScale_ = false;
    updateMapping();
}

void PictureBox::setScaleHeight(float height) {
    scaleHeight_ = height;
    pixelScale_ = false;
    updateMapping();
}

void PictureBox::setScaleModePixels() {
    scaleWidth_ = static_cast<float>(surface_.width());
    scaleHeight_ = static_cast<float>(surface_.height());
    pixelScale_ = true;
    updateMapping();
}

void PictureBox::PSet(double x, double y, Colour colour) noexcept {
    const int column = columnOf(x);
    const int row = rowOf(y);
    if (static_cast<unsigned>(column) >= static_cast<unsigned>(surface_.width()) ||
        static_cast<unsigned>(row) >= static_cast<unsigned>(surface_.height()))
        return;
    rows_[row * stride_ + column] = rgbFromColour(colour);
}

void PictureBox::Cls() {
    surface_.fill(rgbFromColour(backColor_));
    if (!picture_.isNull()) {
        QPainter painter(&surface_);
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
        painter.drawImage(0, 0, picture_);
    }
    rows_ = reinterpret_cast<QRgb*>(surface_.bits());  // detaches once; Point reads through it
    stride_ = static_cast<int>(surface_.bytesPerLine() / sizeof(QRgb));
}

float PictureBox::logicalXOfColumn(int column) const noexcept {
    if (pixelScale_) return static_cast<float>(column + 0.5);
    return static_cast<float>((column + 0.5) * scaleWidth_ / surface_.width());
}

float PictureBox::logicalYOfRow(int row) const noexcept {
    if (pixelScale_) return static_cast<float>(row + 0.5);
    return static_cast<float>((row + 0.5) * scaleHeight_ / surface_.height());
}

int PictureBox::pixelIndex(double units, double unitsToPixels) noexcept {
    const double pixel = std::floor(units * unitsToPixels);
    // Far-away or non-finite points are outside; keep them clear of int overflow.
    if (!(pixel >= -1.0 && pixel < 1 << 30)) return -1;
    return static_cast<int>(pixel);
}

void PictureBox::updateMapping() noexcept {
    // A scale of zero gives an infinite ratio, and pixelIndex puts every point outside.
    const auto ratio = [](int pixels, float scale, bool pixelScale) {
        return pixelScale ? 1.0 : pixels / static_cast<double>(scale);
    };
    unitsToPixelsX_ = ratio(surface_.width(), scaleWidth_, pixelScale_);
    unitsToPixelsY_ = ratio(surface_.height(), scaleHeight_, pixelScale_);
}

}  // namespace bitlay::picture
