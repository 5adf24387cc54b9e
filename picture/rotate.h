#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "picture/picture_box.h"

namespace bitlay::picture {

// Receives the caption of the Rotate 90 button: a percentage once per outer step of a pass, and
// kRotateCaption when a pass ends. The window repaints the button at once in it.
using ShowProgress = std::function<void(const std::string&)>;

inline constexpr char kRotateCaption[] = "Rotate 90";

// The angle of the first pass: 3.14159265359 / 2 formed in double and rounded to single, which is
// the single with the bits 0x3FC90FDB.
float quarterTurn();

// Centres of both boxes, the larger side n of the target and the largest offset m visited, in the
// boxes' current logical units. A box too large for 16-bit values is an overflow here.
struct RotationFrame final {
    std::int16_t cx1 = 0;
    std::int16_t cy1 = 0;
    std::int16_t cx2 = 0;
    std::int16_t cy2 = 0;
    std::int16_t n = 0;
    std::int16_t m = 0;
};
RotationFrame rotationFrame(const PictureBox& pic1, const PictureBox& pic2);

// The caption shown at outer step i of 0..m: the share of the pass as a whole percentage, " 0%" to
// " 100%". Worked in wide integers so that no box size can make the progress itself fail, and
// " 0%" for m = 0, where there is no share to speak of.
std::string passProgressCaption(int i, int m);

// Redraws pic1 into pic2 turned by theta (radians, counter-clockwise on screen) about the two
// centres, point by point through Point and PSet in the boxes' current units. Only a quadrant of
// offsets is walked; each step writes the four quarter-turned targets of its offset, so the result
// is exactly what the rounded working values give, not a resampled image. Source points outside
// pic1 leave their targets as they were. Coordinate arithmetic is held to 16 bits and overflows
// with OverflowError; the caption then keeps its last percentage.
void bmp_rotate(PictureBox& pic1, PictureBox& pic2, float theta, const ShowProgress& showProgress);

// Rotate 90: turns picture1's surface a quarter turn through the scratch box picture2, then gives
// picture1 its working scale again (picture2 stays in pixels). If a pass fails, picture1 still gets
// its working scale and the button its caption before the error goes on to the handler, so later
// picks and transfers do not run in pixel units.
void rotate90(PictureBox& picture1, PictureBox& picture2, const ShowProgress& showProgress);

}  // namespace bitlay::picture
