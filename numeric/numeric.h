#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

// The arithmetic rules of the tool: reals become integers by rounding half to even, and every
// 16-bit and 32-bit integer result is range-checked. Faults are thrown, never wrapped or clamped.
namespace bitlay::numeric {

// An integer result outside its 16-bit or 32-bit range.
class OverflowError final : public std::runtime_error {
  public:
    explicit OverflowError(const std::string& what) : std::runtime_error(what) {}
};

// A floating-point division by zero or an invalid operation (0/0, a NaN operand).
class FloatingPointError final : public std::runtime_error {
  public:
    explicit FloatingPointError(const std::string& what) : std::runtime_error(what) {}
};

// Nearest whole number, an exact half going to the even neighbour; independent of the FPU mode.
double roundHalfEven(double value) noexcept;

// roundHalfEven, then range-checked. A NaN has no nearest integer and is an overflow as well.
std::int32_t roundToInt32(double value);
// Whether roundToInt32 takes the value without an overflow.
bool roundsToInt32(double value) noexcept;
std::int16_t roundToInt16(double value);

std::int16_t narrowToInt16(std::int32_t value);

std::int16_t add16(std::int16_t a, std::int16_t b);
std::int16_t sub16(std::int16_t a, std::int16_t b);
std::int32_t add32(std::int32_t a, std::int32_t b);
std::int32_t mul32(std::int32_t a, std::int32_t b);

// A double to single precision; a finite value beyond the single range is an overflow.
float toSingle(double value);

// Quotient in double precision; 0/0 and x/0 are floating-point faults.
double divide(double dividend, double divisor);

}  // namespace bitlay::numeric
