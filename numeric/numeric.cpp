#include "numeric/numeric.h"

#include <cmath>
#include <limits>

namespace bitlay::numeric {
namespace {

[[noreturn]] void overflow(const char* where) {
    throw OverflowError(std::string("Overflow in ") + where);
}

template <typename Int>
Int checkedNarrow(std::int64_t value, const char* where) {
    if (value < std::numeric_limits<Int>::min() || value > std::numeric_limits<Int>::max())
        overflow(where);
    return static_cast<Int>(value);
}

template <typename Int>
bool inRange(double rounded) noexcept {
    // NaN fails both comparisons and so is out of range too.
    return rounded >= std::numeric_limits<Int>::min() && rounded <= std::numeric_limits<Int>::max();
}

template <typename Int>
Int checkedRound(double value, const char* where) {
    const double rounded = roundHalfEven(value);
    if (!inRange<Int>(rounded)) overflow(where);
    return static_cast<Int>(rounded);
}

}  // namespace

double roundHalfEven(double value) noexcept {
    const double floor = std::floor(value);
    const double fraction = value - floor;  // exact for every double
    if (fraction < 0.5) return floor;
    if (fraction > 0.5) return floor + 1.0;
    return std::fmod(floor, 2.0) == 0.0 ? floor : floor + 1.0;
}

std::int32_t roundToInt32(double value) {
    return checkedRound<std::int32_t>(value, "a 32-bit conversion");
}
bool roundsToInt32(double value) noexcept { return inRange<std::int32_t>(roundHalfEven(value)); }
std::int16_t roundToInt16(double value) {
    return checkedRound<std::int16_t>(value, "a 16-bit conversion");
}

std::int16_t narrowToInt16(std::int32_t value) {
    return checkedNarrow<std::int16_t>(value, "a 16-bit conversion");
}

std::int16_t add16(std::int16_t a, std::int16_t b) {
    return checkedNarrow<std::int16_t>(std::int64_t{a} + b, "a 16-bit sum");
}
std::int16_t sub16(std::int16_t a, std::int16_t b) {
    return checkedNarrow<std::int16_t>(std::int64_t{a} - b, "a 16-bit difference");
}
std::int32_t add32(std::int32_t a, std::int32_t b) {
    return checkedNarrow<std::int32_t>(std::int64_t{a} + b, "a 32-bit sum");
}
std::int32_t mul32(std::int32_t a, std::int32_t b) {
    return checkedNarrow<std::int32_t>(std::int64_t{a} * b, "a 32-bit product");
}

float toSingle(double value) {
    if (std::isnan(value)) throw FloatingPointError("Invalid floating-point operation");
    // Values up to half a unit past the largest single still round to it.
    constexpr double kLimit = double(std::numeric_limits<float>::max()) + 0x1p103;
    if (std::isfinite(value) && std::fabs(value) >= kLimit)
        overflow("a single-precision conversion");
    return static_cast<float>(value);
}

double divide(double dividend, double divisor) {
    if (std::isnan(dividend) || std::isnan(divisor))
        throw FloatingPointError("Invalid floating-point operation");
    if (divisor == 0.0) {
        if (dividend == 0.0) throw FloatingPointError("Invalid floating-point operation (0 / 0)");
        throw FloatingPointError("Division by zero");
    }
    return dividend / divisor;
}

}  // namespace bitlay::numeric
