#pragma once

#include <QImage>
#include <cmath>
#include <cstdint>

namespace bitlay::picture {

// red + 256 × green + 65536 × blue; kOutside for a point outside the client area.
using Colour = std::int32_t;
constexpr Colour kOutside = -1;

constexpr int kTwipsPerPixel = 15;

Colour colourFromRgb(QRgb rgb) noexcept;
QRgb rgbFromColour(Colour colour) noexcept;

// A picture box without a window: outer size in twips, a frame, the picture, a persistent drawing
// surface as large as the client area, and a logical scale (twips at first, pixels, or a user
// scale). Logical points map to pixels by one rule, column = floor(x × client width ÷ ScaleWidth),
// which Point, PSet and the pointer position all use.
class PictureBox final {
  public:
    PictureBox(float outerWidthTwips, float outerHeightTwips, int framePixels = 2);
    // Copies get a surface of their own; Point reads through a cached row pointer.
    PictureBox(const PictureBox& other);
    PictureBox& operator=(const PictureBox& other);

    float Width() const noexcept { return outerWidth_; }
    float Height() const noexcept { return outerHeight_; }
    int clientWidthPixels() const noexcept { return surface_.width(); }
    int clientHeightPixels() const noexcept { return surface_.height(); }

    // Sets the picture and makes the surface anew from background and picture.
    void setPicture(const QImage& picture);
    const QImage& picture() const noexcept { return picture_; }

    Colour backColor() const noexcept { return backColor_; }
    // Takes effect at the next clear or picture, as a background does.
    void setBackColor(Colour colour) noexcept { backColor_ = colour; }

    float ScaleWidth() const noexcept { return scaleWidth_; }
    float ScaleHeight() const noexcept { return scaleHeight_; }
    void setScaleWidth(float width);
    void setScaleHeight(float height);
    void setScaleModePixels();
    bool isPixelScale() const noexcept { return pixelScale_; }

    // The surface pixel at a logical point, kOutside outside the client area.
    Colour Point(double x, double y) const noexcept {
        const int column = columnOf(x);
        const int row = rowOf(y);
        if (static_cast<unsigned>(column) >= static_cast<unsigned>(surface_.width()) ||
            static_cast<unsigned>(row) >= static_cast<unsigned>(surface_.height()))
            return kOutside;
        return colourFromRgb(rows_[row * stride_ + column]);
    }

    // Sets the surface pixel at a logical point; a point outside changes nothing.
    void PSet(double x, double y, Colour colour) noexcept;

    // Clear: the surface is background with the picture over it again; the picture stays.
    void Cls();

    // Pixel column and row of a logical point; may lie outside the client area.
    int columnOf(double x) const noexcept {
        return pixelIndex(x, surface_.width(), scaleWidth_, pixelScale_);
    }
    int rowOf(double y) const noexcept {
        return pixelIndex(y, surface_.height(), scaleHeight_, pixelScale_);
    }

    // The logical point at the centre of a pixel, as the pointer hands it to a handler.
    float logicalXOfColumn(int column) const noexcept;
    float logicalYOfRow(int row) const noexcept;

    const QImage& surface() const noexcept { return surface_; }

  private:
    // floor(units × pixels ÷ scale) as written, not through a precomputed ratio, which could
    // round a point on a pixel edge into the neighbour. A scale of zero makes the quotient
    // infinite or undefined, and such points, like far-away ones, are outside (-1).
    static int pixelIndex(double units, int pixels, float scale, bool pixelScale) noexcept {
        const double pixel = std::floor(pixelScale ? units : units * pixels / scale);
        if (!(pixel >= -1.0 && pixel < 1 << 30)) return -1;
        return static_cast<int>(pixel);
    }
    void bindSurface();

    float outerWidth_;
    float outerHeight_;
    QImage picture_;
    QImage surface_;
    QRgb* rows_ = nullptr;
    int stride_ = 0;               // in pixels
    Colour backColor_ = 0xF0F0F0;  // the toolkit's button face
    float scaleWidth_ = 0;
    float scaleHeight_ = 0;
    bool pixelScale_ = false;
};

}  // namespace bitlay::picture
