#include "transfer/number_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <string>

using bitlay::transfer::numberOfText;

namespace {

struct NumberCase {
    std::string text;
    double value;
};

void PrintTo(const NumberCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class NumberOfText : public ::testing::TestWithParam<NumberCase> {};

TEST_P(NumberOfText, ReadsTheLeadingNumber) {
    const double value = numberOfText(GetParam().text);
    EXPECT_EQ(value, GetParam().value) << '"' << GetParam().text << '"';
}

const double kInfinity = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(ScaleTexts, NumberOfText,
                         ::testing::Values(NumberCase{"", 0}, NumberCase{"abc", 0},
                                           NumberCase{"0.99", 0.99}, NumberCase{"1.4", 1.4},
                                           NumberCase{"1.5", 1.5}, NumberCase{"2.5", 2.5},
                                           NumberCase{"3.5", 3.5}, NumberCase{"1e3", 1000},
                                           NumberCase{"1,5", 1}, NumberCase{"1 5", 15},
                                           NumberCase{"0.00", 0}, NumberCase{"1", 1}));

INSTANTIATE_TEST_SUITE_P(
    BlanksSignsAndPeriods, NumberOfText,
    ::testing::Values(NumberCase{"  12  ", 12}, NumberCase{"\t1\n2", 12}, NumberCase{"- 3", -3},
                      NumberCase{"+4", 4}, NumberCase{"-0.5", -0.5}, NumberCase{".5", 0.5},
                      NumberCase{"5.", 5}, NumberCase{".", 0}, NumberCase{"-", 0},
                      NumberCase{"+-1", 0}, NumberCase{"--1", 0}, NumberCase{"1.2.3", 1.2},
                      NumberCase{"12abc", 12}, NumberCase{"abc12", 0}, NumberCase{"1\r2", 1},
                      NumberCase{"1\xc2\xa0"
                                 "2",
                                 1},          // a no-break space is not a blank
                      NumberCase{"１", 0}));  // nor is a full-width digit a digit

INSTANTIATE_TEST_SUITE_P(
    Exponents, NumberOfText,
    ::testing::Values(NumberCase{"1E3", 1000}, NumberCase{"2.5e-1", 0.25}, NumberCase{"1e+2", 100},
                      NumberCase{"1 e 2", 100}, NumberCase{"1e", 1}, NumberCase{"1e+", 1},
                      NumberCase{"1e-x", 1}, NumberCase{"1e2.5", 100}, NumberCase{"1D3", 1},
                      NumberCase{"1d3", 1}, NumberCase{"1F3", 1}, NumberCase{"e3", 0},
                      NumberCase{".e3", 0}, NumberCase{"1e0003", 1000},
                      NumberCase{"1e400", kInfinity}, NumberCase{"-1e400", -kInfinity},
                      NumberCase{"0.0001e312", 1e308}, NumberCase{"1e-400", 0},
                      NumberCase{"12345e-99999999999999", 0}, NumberCase{"0e99999", 0},
                      NumberCase{"1e99999999999999999999", kInfinity}));

INSTANTIATE_TEST_SUITE_P(
    HexadecimalAndOctal, NumberOfText,
    ::testing::Values(NumberCase{"&H10", 16}, NumberCase{"&hff", 255}, NumberCase{"&HfF", 255},
                      NumberCase{"&O17", 15}, NumberCase{"&o17", 15}, NumberCase{"&O8", 0},
                      NumberCase{"&O178", 15}, NumberCase{"&H", 0}, NumberCase{"&", 0},
                      NumberCase{"&X10", 0}, NumberCase{"& H 1 0", 16}, NumberCase{"&HFFFF", 65535},
                      NumberCase{"&HFFFFFFFF", 4294967295.0}, NumberCase{"&H1.5", 1},
                      NumberCase{"&H1E3", 0x1E3}, NumberCase{"-&H10", 0}, NumberCase{"12&H10", 12},
                      NumberCase{"&HG", 0}));

TEST(NumberOfTextCorners, VeryLongWholeNumbersBecomeInfinite) {
    EXPECT_EQ(numberOfText("&H" + std::string(300, 'F')), kInfinity);
    EXPECT_EQ(numberOfText("&O" + std::string(400, '7')), kInfinity);
    EXPECT_EQ(numberOfText(std::string(400, '9')), kInfinity);
    EXPECT_EQ(numberOfText("0." + std::string(400, '0') + "1"), 0);
}

TEST(NumberOfTextCorners, NegativeZeroIsZero) { EXPECT_EQ(numberOfText("-0"), 0); }

}  // namespace
