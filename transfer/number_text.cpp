#include "transfer/number_text.h"

#include <charconv>
#include <cstdint>
#include <limits>
#include <string>
#include <system_error>

namespace bitlay::transfer {
namespace {

bool isDigit(char c) noexcept { return c >= '0' && c <= '9'; }

int hexDigit(char c) noexcept {
    if (isDigit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

double wholeNumber(std::string_view digits, int base) noexcept {
    double value = 0;
    for (const char c : digits) {
        const int digit = base == 16 ? hexDigit(c) : (c >= '0' && c <= '7' ? c - '0' : -1);
        if (digit < 0) break;
        value = value * base + digit;  // exact up to 2^53, then rounded like any double
    }
    return value;
}

// Which way a decimal number that does not fit a double lies: beyond the largest (true) or
// below the smallest (false). Judged by the decimal exponent of its first significant digit.
bool beyondLargest(std::string_view integerDigits, std::string_view fractionDigits,
                   std::int64_t exponent) noexcept {
    std::size_t leadingZeros = 0;
    while (leadingZeros < integerDigits.size() && integerDigits[leadingZeros] == '0')
        ++leadingZeros;
    if (leadingZeros < integerDigits.size())
        return static_cast<std::int64_t>(integerDigits.size() - leadingZeros) - 1 + exponent > 0;
    std::size_t fractionZeros = 0;
    while (fractionZeros < fractionDigits.size() && fractionDigits[fractionZeros] == '0')
        ++fractionZeros;
    return -static_cast<std::int64_t>(fractionZeros) - 1 + exponent > 0;
}

}  // namespace

double numberOfText(std::string_view text) noexcept {
    std::string s;
    s.reserve(text.size());
    for (const char c : text)
        if (c != ' ' && c != '\t' && c != '\n') s.push_back(c);

    if (s.size() >= 2 && s[0] == '&') {
        const char base = s[1];
        if (base == 'H' || base == 'h') return wholeNumber(std::string_view(s).substr(2), 16);
        if (base == 'O' || base == 'o') return wholeNumber(std::string_view(s).substr(2), 8);
        return 0;
    }

    std::size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    const std::size_t integerStart = i;
    while (i < s.size() && isDigit(s[i])) ++i;
    const std::string_view integerDigits =
        std::string_view(s).substr(integerStart, i - integerStart);
    std::string_view fractionDigits;
    if (i < s.size() && s[i] == '.') {
        const std::size_t fractionStart = ++i;
        while (i < s.size() && isDigit(s[i])) ++i;
        fractionDigits = std::string_view(s).substr(fractionStart, i - fractionStart);
    }
    if (integerDigits.empty() && fractionDigits.empty()) return 0;

    std::int64_t exponent = 0;
    if (i < s.size() && (s[i] == 'E' || s[i] == 'e')) {
        std::size_t j = i + 1;
        bool negativeExponent = false;
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) negativeExponent = s[j++] == '-';
        if (j < s.size() && isDigit(s[j])) {
            while (j < s.size() && isDigit(s[j])) {
                // Saturates far beyond any double's exponent; the size only decides the direction.
                if (exponent < 1'000'000'000) exponent = exponent * 10 + (s[j] - '0');
                ++j;
            }
            if (negativeExponent) exponent = -exponent;
            i = j;
        }
    }

    // from_chars reads the C form whatever the locale; it takes no leading plus.
    const std::size_t start = (s[0] == '+') ? 1 : 0;
    double value = 0;
    const auto [end, error] = std::from_chars(s.data() + start, s.data() + i, value);
    (void)end;
    if (error == std::errc::result_out_of_range) {
        value = beyondLargest(integerDigits, fractionDigits, exponent)
                    ? std::numeric_limits<double>::infinity()
                    : 0.0;
        if (negative) value = -value;
    } else if (error != std::errc()) {
        return 0;
    }
    return value;
}

}  // namespace bitlay::transfer
