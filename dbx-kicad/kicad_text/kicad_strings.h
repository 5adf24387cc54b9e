#pragma once

// KiCad's text for strings and numbers, and the Latin-1 the DBX records hold.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace bitlay::kicad {

// A string in double quotes with KiCad's escapes for '"', '\\', CR and LF.
std::string quoteKicadString(std::string_view text);

// Nanometres as millimetres in KiCad's notation: '.' as the decimal point, no exponent, no
// trailing zeros. Exact, independent of the locale.
void appendMillimetres(std::string& out, std::int64_t nanometres);

// UTF-8 text to Latin-1, one byte per character; characters beyond U+00FF and bytes that are not
// valid UTF-8 become '?'.
std::string toLatin1(std::string_view utf8);

}  // namespace bitlay::kicad
