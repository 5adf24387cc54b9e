#include "picture/picture_box.h"

#include <QPainter>
#include <algorithm>
#include <cmath>

#include "numeric/numeric.h"

namespace bitlay::picture {

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
    Cls();
    updateMapping();
}

PictureBox::PictureBox(const PictureBox& other)
    : outerWidth_(other.outerWidth_),
      outerHeight_(other.outerHeight_),
      picture_(other.picture_),
      surface_(other.surface_),
      backColor_(other.backColor_),
      scaleWidth_(other.scaleWidth_),
      scaleHeight_(other.scaleHeight_),
      pixelScale_(other.pixelScale_) {
    bindSurface();
    updateMapping();
}

PictureBox& PictureBox::operator=(const PictureBox& other) {
    if (this == &other) return *this;
    outerWidth_ = other.outerWidth_;
    outerHeight_ = other.outerHeight_;
    picture_ = other.picture_;
    surface_ = other.surface_;
    backColor_ = other.backColor_;
    scaleWidth_ = other.scaleWidth_;
    scaleHeight_ = other.scaleHeight_;
    pixelScale_ = other.pixelScale_;
    bindSurface();
    updateMapping();
    return *this;
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
    if (static_cast<unsigned>(column) >= static_cast<unsigned>(width_) ||
        static_cast<unsigned>(row) >= static_cast<unsigned>(height_))
        return;
    // Someone may hold a copy of the surface (a paint in progress, a test); writing through
    // the cached pointer would change theirs too. bits() detaches only when it is shared.
    if (!surface_.isDetached()) bindSurface();
    if (rows_ == nullptr) return;  // the detaching copy could not be allocated
    rows_[row * stride_ + column] = rgbFromColour(colour);
}

void PictureBox::Cls() {
    surface_.fill(rgbFromColour(backColor_));
    if (!picture_.isNull()) {
        QPainter painter(&surface_);
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
        painter.drawImage(0, 0, picture_);
    }
    bindSurface();
}

void PictureBox::bindSurface() {
    rows_ = reinterpret_cast<QRgb*>(surface_.bits());  // detaches; Point reads through it
    stride_ = static_cast<int>(surface_.bytesPerLine() / sizeof(QRgb));
    // Without memory for the surface every point is outside.
    width_ = rows_ != nullptr ? surface_.width() : 0;
    height_ = rows_ != nullptr ? surface_.height() : 0;
}

void PictureBox::updateMapping() noexcept {
    unitsToPixelsX_ = width_ / static_cast<double>(scaleWidth_);
    unitsToPixelsY_ = height_ / static_cast<double>(scaleHeight_);
}

float PictureBox::logicalXOfColumn(int column) const noexcept {
    if (pixelScale_) return static_cast<float>(column + 0.5);
    return static_cast<float>((column + 0.5) * scaleWidth_ / surface_.width());
}

float PictureBox::logicalYOfRow(int row) const noexcept {
    if (pixelScale_) return static_cast<float>(row + 0.5);
    return static_cast<float>((row + 0.5) * scaleHeight_ / surface_.height());
}

void setWorkingScale(PictureBox& box) {
    box.setScaleWidth(numeric::toSingle(numeric::divide(box.Width(), 4)));
    box.setScaleHeight(numeric::toSingle(numeric::divide(box.Height(), 4)));
}

}  // namespace bitlay::picture
