#pragma once

#include <string_view>

namespace bitlay::transfer {

// The number of a text box, read the same way for X, Y and the scale:
// - blanks, tabs and line feeds are dropped wherever they stand ("1 5" is 15);
// - then, from the start: an optional sign, digits with at most one period, and optionally an
//   exponent (E or e, an optional sign, digits). Reading stops at the first character that does
//   not fit, so "1,5" is 1 and "1.2.3" is 1.2; a text without a leading number gives 0. Only the
//   period is a decimal point, whatever the locale.
// - "&H" or "&O" at the start (either case) introduces a whole number in hexadecimal or octal
//   digits instead.
//
// The corners the rule leaves open are settled like this:
// - Hexadecimal and octal numbers are unsigned and of any length: "&HFFFFFFFF" is 4294967295, not
//   -1, so a value too large for a board number fails later as an overflow instead of silently
//   turning negative. No sign may precede the ampersand ("-&H10" is 0), and a period or an
//   exponent after the digits ends the number ("&H1.5" is 1). "&H" without digits is 0.
// - E is the only exponent letter; "1D3" is 1 and "1F3" is 1.
// - An exponent without digits is not part of the number: "1e" and "1e+" are 1.
// - A number too large for a double reads as an infinity of its sign, which every later
//   conversion to an integer reports as an overflow; one too small reads as zero. Hexadecimal and
//   octal numbers of more than about 250 digits are infinite likewise.
double numberOfText(std::string_view text) noexcept;

}  // namespace bitlay::transfer
