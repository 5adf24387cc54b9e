#include "picture/rotate.h"

#include <cmath>

#include "numeric/numeric.h"
#include "numeric/scope_exit.h"

namespace bitlay::picture {
namespace {

using numeric::add16;
using numeric::add32;
using numeric::mul32;
using numeric::roundToInt16;
using numeric::sub16;

void show(const ShowProgress& showProgress, const std::string& caption) {
    if (showProgress) showProgress(caption);
}

}  // namespace

float quarterTurn() { return numeric::toSingle(3.14159265359 / 2); }

RotationFrame rotationFrame(const PictureBox& pic1, const PictureBox& pic2) {
    RotationFrame frame;
    frame.cx1 = roundToInt16(double(pic1.ScaleWidth()) / 2);
    frame.cy1 = roundToInt16(double(pic1.ScaleHeight()) / 2);
    frame.cx2 = roundToInt16(double(pic2.ScaleWidth()) / 2);
    frame.cy2 = roundToInt16(double(pic2.ScaleHeight()) / 2);
    const std::int16_t w = roundToInt16(pic2.ScaleWidth());
    frame.n = w < pic2.ScaleHeight() ? roundToInt16(pic2.ScaleHeight()) : w;
    frame.m = roundToInt16(frame.n / 2.0 - 1);
    return frame;
}

std::string passProgressCaption(int i, int m) {
    const long long percent = m > 0 ? 100LL * i / m : 0;
    return " " + std::to_string(percent) + "%";
}

void bmp_rotate(PictureBox& pic1, PictureBox& pic2, float theta, const ShowProgress& showProgress) {
    const RotationFrame f = rotationFrame(pic1, pic2);
    const float straightUp = quarterTurn();
    const std::int16_t one = 1;

    for (std::int16_t i = 0; i <= f.m; i = add16(i, one)) {
        show(showProgress, passProgressCaption(i, f.m));
        for (std::int16_t j = 0; j <= f.m; j = add16(j, one)) {
            const float a = i == 0 ? straightUp : numeric::toSingle(std::atan(double(j) / i));
            const std::int32_t sum = add32(mul32(i, i), mul32(j, j));
            const std::int16_t r = roundToInt16(std::sqrt(double(sum)));
            const double turned = double(a) + double(theta);
            const std::int16_t u = roundToInt16(r * std::cos(turned));
            const std::int16_t v = roundToInt16(r * std::sin(turned));

            const Colour c1 = pic1.Point(add16(f.cx1, u), add16(f.cy1, v));
            const Colour c2 = pic1.Point(sub16(f.cx1, u), sub16(f.cy1, v));
            const Colour c3 = pic1.Point(add16(f.cx1, v), sub16(f.cy1, u));
            const Colour c4 = pic1.Point(sub16(f.cx1, v), add16(f.cy1, u));

            if (c1 != kOutside) pic2.PSet(add16(f.cx2, i), add16(f.cy2, j), c1);
            if (c2 != kOutside) pic2.PSet(sub16(f.cx2, i), sub16(f.cy2, j), c2);
            if (c3 != kOutside) pic2.PSet(add16(f.cx2, j), sub16(f.cy2, i), c3);
            if (c4 != kOutside) pic2.PSet(sub16(f.cx2, j), add16(f.cy2, i), c4);
        }
    }
    show(showProgress, kRotateCaption);
}

void rotate90(PictureBox& picture1, PictureBox& picture2, const ShowProgress& showProgress) {
    // However the passes end, later picks and transfers must not run in pixel units; after a
    // failed pass the button gets its caption back, once the scale is set (guards end in reverse).
    const numeric::ScopeFail caption([&] { show(showProgress, kRotateCaption); });
    const numeric::ScopeExit workingScale([&] { setWorkingScale(picture1); });
    picture1.setScaleModePixels();
    picture2.setScaleModePixels();
    picture2.Cls();
    bmp_rotate(picture1, picture2, quarterTurn(), showProgress);
    picture1.Cls();  // back to the loaded, unturned picture
    bmp_rotate(picture2, picture1, 0.0f, showProgress);
}

}  // namespace bitlay::picture
