#include "dbx-kicad/kicad_text/lexer.h"

namespace bitlay::kicad {
namespace {

int hexValue(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool isKicadSpace(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

Token Lexer::next() {
    Token token;
    while (pos_ < text_.size() && isKicadSpace(text_[pos_])) ++pos_;
    token.offset = pos_;
    if (pos_ == text_.size()) return token;
    const char c = text_[pos_];
    if (c == '(' || c == ')') {
        ++pos_;
        token.kind = c == '(' ? TokenKind::kOpen : TokenKind::kClose;
        return token;
    }
    if (c == '"') {
        ++pos_;
        token.kind = readString(token.text) ? TokenKind::kString : TokenKind::kError;
        return token;
    }
    const std::size_t start = pos_;
    while (pos_ < text_.size() && !isKicadSpace(text_[pos_]) && text_[pos_] != '(' &&
           text_[pos_] != ')' && text_[pos_] != '"') {
        ++pos_;
    }
    token.kind = TokenKind::kSymbol;
    token.text.assign(text_.substr(start, pos_ - start));
    return token;
}

bool Lexer::readString(std::string& out) {
    while (pos_ < text_.size()) {
        const char c = text_[pos_++];
        if (c == '"') return true;
        if (c == '\n' || c == '\r') return false;
        if (c != '\\') {
            out += c;
            continue;
        }
        if (pos_ == text_.size()) return false;
        const char e = text_[pos_++];
        switch (e) {
            case '"':
            case '\\':
                out += e;
                break;
            case 'a':
                out += '\a';
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'v':
                out += '\v';
                break;
            case 'x': {
                int value = 0;
                int digits = 0;
                while (digits < 2 && pos_ < text_.size() && hexValue(text_[pos_]) >= 0) {
                    value = value * 16 + hexValue(text_[pos_++]);
                    ++digits;
                }
                out += digits > 0 ? static_cast<char>(value) : 'x';
                break;
            }
            default: {
                // Up to three octal digits; a backslash before anything else stays itself.
                --pos_;
                int value = 0;
                int digits = 0;
                while (digits < 3 && pos_ < text_.size() && text_[pos_] >= '0' &&
                       text_[pos_] <= '7') {
                    value = value * 8 + (text_[pos_++] - '0');
                    ++digits;
                }
                out += digits > 0 ? static_cast<char>(value) : '\\';
                break;
            }
        }
    }
    return false;
}

bool skipList(Lexer& lexer) {
    std::size_t depth = 1;
    while (depth > 0) {
        const Token token = lexer.next();
        switch (token.kind) {
            case TokenKind::kOpen:
                ++depth;
                break;
            case TokenKind::kClose:
                --depth;
                break;
            case TokenKind::kEnd:
            case TokenKind::kError:
                return false;
            default:
                break;
        }
    }
    return true;
}

}  // namespace bitlay::kicad
