#include "numeric/numeric.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace bitlay::numeric;

TEST(RoundHalfEven, HalvesGoToTheEvenNeighbour) {
    EXPECT_EQ(roundHalfEven(2.5), 2.0);
    EXPECT_EQ(roundHalfEven(3.5), 4.0);
    EXPECT_EQ(roundHalfEven(-2.5), -2.0);
    EXPECT_EQ(roundHalfEven(-3.5), -4.0);
    EXPECT_EQ(roundHalfEven(0.5), 0.0);
    EXPECT_EQ(roundHalfEven(-0.5), 0.0);
    EXPECT_EQ(roundHalfEven(1.4999999999999998), 1.0);
    EXPECT_EQ(roundHalfEven(2.5000000000000004), 3.0);
    EXPECT_EQ(roundHalfEven(-1.6), -2.0);
    EXPECT_EQ(roundHalfEven(4503599627370497.0), 4503599627370497.0);  // no fraction left
}

TEST(RoundToInt, ChecksTheRangeAfterRounding) {
    EXPECT_EQ(roundToInt32(2147483647.4), 2147483647);
    EXPECT_THROW(roundToInt32(2147483647.5), OverflowError);  // the even neighbour is 2^31
}

TEST(RoundToInt, OverflowsOutsideTheRange) {
    EXPECT_THROW(roundToInt32(2147483648.0), OverflowError);
    EXPECT_EQ(roundToInt32(-2147483648.4), std::numeric_limits<std::int32_t>::min());
    EXPECT_THROW(roundToInt32(-2147483648.6), OverflowError);
    EXPECT_THROW(roundToInt32(std::nan("")), OverflowError);
    EXPECT_THROW(roundToInt32(INFINITY), OverflowError);
    EXPECT_EQ(roundToInt16(32767.4), 32767);
    EXPECT_EQ(roundToInt16(32766.5), 32766);
    EXPECT_THROW(roundToInt16(32767.5), OverflowError);
    EXPECT_EQ(roundToInt16(-32768.5), -32768);
    EXPECT_THROW(roundToInt16(-32768.6), OverflowError);
}

TEST(CheckedArithmetic, SixteenBit) {
    EXPECT_EQ(add16(32766, 1), 32767);
    EXPECT_THROW(add16(32767, 1), OverflowError);
    EXPECT_EQ(sub16(-32767, 1), -32768);
    EXPECT_THROW(sub16(-32768, 1), OverflowError);
    EXPECT_THROW(narrowToInt16(32768), OverflowError);
    EXPECT_EQ(narrowToInt16(-32768), -32768);
}

TEST(CheckedArithmetic, ThirtyTwoBit) {
    EXPECT_EQ(mul32(845466, 2540), 2147483640);
    EXPECT_THROW(mul32(845467, 2540), OverflowError);
    EXPECT_EQ(add32(2147482347, 1300), 2147483647);
    EXPECT_THROW(add32(2147482348, 1300), OverflowError);
    EXPECT_THROW(add32(std::numeric_limits<std::int32_t>::min(), -1), OverflowError);
    EXPECT_THROW(mul32(std::numeric_limits<std::int32_t>::min(), -1), OverflowError);
}

TEST(Single, RoundsToNearestAndOverflowsPastTheRange) {
    EXPECT_EQ(toSingle(3.14159265359 / 2), 1.57079637050628662109375f);
    EXPECT_EQ(toSingle(3.40282356e38), std::numeric_limits<float>::max());
    EXPECT_THROW(toSingle(3.5e38), OverflowError);
    EXPECT_TRUE(std::isinf(toSingle(INFINITY)));
    EXPECT_THROW(toSingle(std::nan("")), FloatingPointError);
}

TEST(Divide, ZeroDivisorsAreFloatingPointFaults) {
    EXPECT_EQ(divide(1.0, 4.0), 0.25);
    EXPECT_THROW(divide(0.0, 0.0), FloatingPointError);
    EXPECT_THROW(divide(1.0, 0.0), FloatingPointError);
    EXPECT_THROW(divide(std::nan(""), 1.0), FloatingPointError);
}
