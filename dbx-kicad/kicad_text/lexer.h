#pragma once

// KiCad's s-expression text split into tokens the way KiCad's own reader splits it: parentheses,
// quoted strings (which end at their line's end) and bare symbols.

#include <cstddef>
#include <string>
#include <string_view>

namespace bitlay::kicad {

enum class TokenKind { kOpen, kClose, kSymbol, kString, kEnd, kError };

struct Token {
    TokenKind kind = TokenKind::kEnd;
    std::string text;  // symbols as written, strings unescaped
    std::size_t offset = 0;
};

bool isKicadSpace(char c) noexcept;

class Lexer final {
  public:
    explicit Lexer(std::string_view text) noexcept : text_(text) {}

    Token next();
    std::size_t position() const noexcept { return pos_; }

  private:
    bool readString(std::string& out);

    std::string_view text_;
    std::size_t pos_ = 0;
};

// Skips the rest of a list whose opening parenthesis has been read; false when it never closes.
bool skipList(Lexer& lexer);

}  // namespace bitlay::kicad
