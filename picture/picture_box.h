#pragma once

#include <QImage>
#include <cstdint>

namespace bitlay::picture {

// red + 256 × green + 65536 × blue; kOutside for a point outside the client area.
using Colour = std::int32_t;
constexpr Colour kOutside = -1;

constexpr int kTwipsPerPixel = 15;

// Inline: Point converts every pixel it reads.
inline Colour colourFromRgb(QRgb rgb) noexcept {
    return static_cast<Colour>(rgb & 0xFF0000) >> 16 | (rgb & 0x00FF00) |
           static_cast<Colour>(rgb & 0x0000FF) << 16;
}
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
    int clientWidthPixels() const noexcept { return width_; }
    int clientHeightPixels() const noexcept { return height_; }

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
        if (static_cast<unsigned>(column) >= static_cast<unsigned>(width_) ||
            static_cast<unsigned>(row) >= static_cast<unsigned>(height_))
            return kOutside;
        return colourFromRgb(rows_[row * stride_ + column]);
    }

    // Sets the surface pixel at a logical point; a point outside changes nothing.
    void PSet(double x, double y, Colour colour) noexcept;

    // Clear: the surface is background with the picture over it again; the picture stays.
    void Cls();

    // Pixel column and row of a logical point; may lie outside the client area.
    int columnOf(double x) const noexcept {
        return pixelIndex(x, width_, scaleWidth_, unitsToPixelsX_);
    }
    int rowOf(double y) const noexcept {
        return pixelIndex(y, height_, scaleHeight_, unitsToPixelsY_);
    }

    // The logical point at the centre of a pixel, as the pointer hands it to a handler.
    float logicalXOfColumn(int column) const noexcept;
    float logicalYOfRow(int row) const noexcept;

    const QImage& surface() const noexcept { return surface_; }

  private:
    // floor(units × pixels ÷ scale), exactly. A division per axis would halve the speed of Point
    // and a precomputed ratio alone can put a point on a pixel edge into the neighbour, so the
    // ratio gives an estimate that the exact products then correct by one where it is off. In
    // pixel mode the scale is the pixel count and this is floor(units). Far-away points, and
    // every point at a scale of zero, are -1: outside.
    static int pixelIndex(double units, int pixels, float scale, double unitsToPixels) noexcept {
        if (!(scale > 0)) return floorOrOutside(units * pixels / scale);
        int pixel = floorOrOutside(units * unitsToPixels);
        if (pixel < 0) return -1;
        const double product = units * pixels;
        const double edge = pixel * static_cast<double>(scale);
        // Branch-free: scattered points would mispredict a branch every time.
        pixel += static_cast<int>(product >= edge + scale) - static_cast<int>(product < edge);
        return pixel;
    }
    static int floorOrOutside(double pixel) noexcept {
        if (!(pixel >= 0 && pixel < 1 << 30)) return -1;
        return static_cast<int>(pixel);  // truncation is floor here
    }
    void updateMapping() noexcept;
    void bindSurface();

    float outerWidth_;
    float outerHeight_;
    QImage picture_;
    QImage surface_;
    QRgb* rows_ = nullptr;
    int stride_ = 0;  // in pixels
    // The surface's size, kept beside it so that Point makes no calls into Qt.
    int width_ = 0;
    int height_ = 0;
    Colour backColor_ = 0xF0F0F0;  // the toolkit's button face
    float scaleWidth_ = 0;
    float scaleHeight_ = 0;
    bool pixelScale_ = false;
    double unitsToPixelsX_ = 0;
    double unitsToPixelsY_ = 0;
};

// The working scale of the picture the user works on: a quarter of its outer size in each
// direction, set after every Load and every rotation.
void setWorkingScale(PictureBox& box);

}  // namespace bitlay::picture
