#include "dbx-kicad/file/board_text.h"

#include <sys/random.h>

#include <algorithm>
#include <cstring>
#include <random>

namespace bitlay::kicad {
namespace {

enum class TokenKind { kOpen, kClose, kSymbol, kString, kEnd, kError };

struct Token {
    TokenKind kind = TokenKind::kEnd;
    std::string text;  // symbols as written, strings unescaped
    std::size_t offset = 0;
};

bool isSpace(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

int hexValue(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Splits the board text into tokens the way KiCad's reader does: parentheses, quoted strings
// (which end at their line's end) and bare symbols.
class Lexer final {
  public:
    explicit Lexer(std::string_view text) noexcept : text_(text) {}

    Token next() {
        Token token;
        while (pos_ < text_.size() && isSpace(text_[pos_])) ++pos_;
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
        while (pos_ < text_.size() && !isSpace(text_[pos_]) && text_[pos_] != '(' &&
               text_[pos_] != ')' && text_[pos_] != '"') {
            ++pos_;
        }
        token.kind = TokenKind::kSymbol;
        token.text.assign(text_.substr(start, pos_ - start));
        return token;
    }

    std::size_t position() const noexcept { return pos_; }

  private:
    bool readString(std::string& out) {
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

    std::string_view text_;
    std::size_t pos_ = 0;
};

// Skips the rest of a list whose opening parenthesis has been read; false when it never closes.
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

bool parseVersion(const Token& token, std::int64_t& version) noexcept {
    if (token.kind != TokenKind::kSymbol || token.text.empty()) return false;
    std::int64_t value = 0;
    for (const char c : token.text) {
        if (c < '0' || c > '9') return false;
        if (value > (INT64_MAX - 9) / 10) return false;
        value = value * 10 + (c - '0');
    }
    version = value;
    return true;
}

// One entry of (layers ...): (number name type ["user name"]), or "hide" in older files.
bool parseLayerEntry(Lexer& lexer, std::vector<BoardLayer>& layers) {
    std::vector<Token> atoms;
    for (;;) {
        Token token = lexer.next();
        if (token.kind == TokenKind::kClose) break;
        if (token.kind == TokenKind::kOpen) {
            if (!skipList(lexer)) return false;
            continue;
        }
        if (token.kind != TokenKind::kSymbol && token.kind != TokenKind::kString) return false;
        atoms.push_back(std::move(token));
    }
    if (atoms.size() < 3 || atoms[0].kind != TokenKind::kSymbol) return false;
    BoardLayer layer;
    layer.canonicalName = std::move(atoms[1].text);
    for (std::size_t i = 3; i < atoms.size(); ++i) {
        if (atoms[i].kind == TokenKind::kString) {
            layer.userName = std::move(atoms[i].text);
            break;
        }
    }
    layers.push_back(std::move(layer));
    return true;
}

bool parseLayers(Lexer& lexer, std::vector<BoardLayer>& layers) {
    for (;;) {
        const Token token = lexer.next();
        if (token.kind == TokenKind::kClose) return true;
        if (token.kind != TokenKind::kOpen) return false;
        if (!parseLayerEntry(lexer, layers)) return false;
    }
}

}  // namespace

BoardOutline readBoardOutline(std::string_view text) {
    BoardOutline outline;
    Lexer lexer(text);
    if (lexer.next().kind != TokenKind::kOpen) return outline;
    const Token head = lexer.next();
    if (head.kind != TokenKind::kSymbol || head.text != "kicad_pcb") return outline;

    bool haveVersion = false;
    bool haveLayers = false;
    std::int64_t version = 0;
    std::vector<BoardLayer> layers;
    std::size_t fontsOffset = 0;  // the '(' of (embedded_fonts ...), 0 when there is none
    for (;;) {
        const Token token = lexer.next();
        if (token.kind == TokenKind::kClose) {
            outline.closingOffset = token.offset;
            break;
        }
        if (token.kind == TokenKind::kEnd || token.kind == TokenKind::kError) return outline;
        if (token.kind != TokenKind::kOpen) continue;

        const Token child = lexer.next();
        if (child.kind == TokenKind::kSymbol && child.text == "embedded_fonts") {
            fontsOffset = token.offset;
            if (!skipList(lexer)) return outline;
        } else if (child.kind == TokenKind::kSymbol && child.text == "version" && !haveVersion) {
            if (!parseVersion(lexer.next(), version)) return outline;
            if (lexer.next().kind != TokenKind::kClose) return outline;
            haveVersion = true;
        } else if (child.kind == TokenKind::kSymbol && child.text == "layers" && !haveLayers) {
            if (!parseLayers(lexer, layers)) return outline;
            haveLayers = true;
        } else if (child.kind == TokenKind::kClose) {
            continue;
        } else if (child.kind == TokenKind::kOpen) {
            if (!skipList(lexer) || !skipList(lexer)) return outline;
        } else if (child.kind == TokenKind::kSymbol || child.kind == TokenKind::kString) {
            if (!skipList(lexer)) return outline;
        } else {
            return outline;
        }
    }
    if (lexer.next().kind != TokenKind::kEnd) return outline;
    if (!haveVersion) return outline;
    outline.version = version;
    if (version > kNewestBoardVersion) {
        outline.result = BoardReadResult::kTooNew;
        return outline;
    }
    // KiCad lists every layer a board has; a section that lists none is what is left of one.
    if (!haveLayers || layers.empty()) return outline;
    outline.layers = std::move(layers);
    outline.insertOffset = outline.closingOffset;
    if (fontsOffset > 0) {
        // KiCad 9 and later end a board with (embedded_fonts no) and, when fonts or files are
        // embedded, (embedded_files ...); their items come before. Rewriting that tail with
        // every item is cheap only while it is short.
        constexpr std::size_t kLongestTail = 4096;
        std::size_t lineStart = fontsOffset;
        while (lineStart > 0 && (text[lineStart - 1] == ' ' || text[lineStart - 1] == '\t')) {
            --lineStart;
        }
        if (lineStart > 0 && text[lineStart - 1] == '\n' &&
            text.size() - lineStart <= kLongestTail) {
            outline.insertOffset = lineStart;
        }
    }
    outline.result = BoardReadResult::kOk;
    return outline;
}

std::string quoteKicadString(std::string_view text) {
    std::string quoted;
    quoted.reserve(text.size() + 2);
    quoted += '"';
    for (const char c : text) {
        switch (c) {
            case '"':
                quoted += "\\\"";
                break;
            case '\\':
                quoted += "\\\\";
                break;
            case '\n':
                quoted += "\\n";
                break;
            case '\r':
                quoted += "\\r";
                break;
            default:
                quoted += c;
                break;
        }
    }
    quoted += '"';
    return quoted;
}

std::size_t appendMillimetres(char* out, std::int64_t units) noexcept {
    char* p = out;
    // Widened first, so the most negative 32-bit value negates safely.
    std::uint64_t magnitude =
        units < 0 ? 0 - static_cast<std::uint64_t>(units) : static_cast<std::uint64_t>(units);
    if (units < 0) *p++ = '-';
    const std::uint64_t whole = magnitude / kUnitsPerMillimetre;
    std::uint64_t fraction = magnitude % kUnitsPerMillimetre;

    char digits[24];
    int count = 0;
    std::uint64_t rest = whole;
    do {
        digits[count++] = static_cast<char>('0' + rest % 10);
        rest /= 10;
    } while (rest != 0);
    while (count > 0) *p++ = digits[--count];

    if (fraction != 0) {
        *p++ = '.';
        char decimals[5];
        for (int i = 4; i >= 0; --i) {
            decimals[i] = static_cast<char>('0' + fraction % 10);
            fraction /= 10;
        }
        int used = 5;
        while (decimals[used - 1] == '0') --used;
        std::memcpy(p, decimals, static_cast<std::size_t>(used));
        p += used;
    }
    return static_cast<std::size_t>(p - out);
}

std::string toLatin1(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    std::size_t i = 0;
    while (i < utf8.size()) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        std::size_t length = 0;
        std::uint32_t codePoint = 0;
        if (lead < 0x80) {
            length = 1;
            codePoint = lead;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            codePoint = lead & 0x1Fu;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            codePoint = lead & 0x0Fu;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            codePoint = lead & 0x07u;
        }
        bool valid = length > 0 && i + length <= utf8.size();
        for (std::size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(utf8[i + k]);
            if ((next & 0xC0u) != 0x80u) {
                valid = false;
                break;
            }
            codePoint = (codePoint << 6) | (next & 0x3Fu);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not characters.
        if (valid &&
            ((length == 3 && (codePoint < 0x800 || (codePoint >= 0xD800 && codePoint <= 0xDFFF))) ||
             (length == 4 && (codePoint < 0x10000 || codePoint > 0x10FFFF)))) {
            valid = false;
        }
        if (!valid) {
            out += '?';
            ++i;
            continue;
        }
        out += codePoint <= 0xFF ? static_cast<char>(codePoint) : '?';
        i += length;
    }
    return out;
}

UuidGenerator::UuidGenerator() {
    // Seeded once per design; each UUID then costs a few arithmetic operations.
    std::size_t filled = 0;
    auto* bytes = reinterpret_cast<unsigned char*>(state_);
    while (filled < sizeof state_) {
        const ssize_t got = ::getrandom(bytes + filled, sizeof state_ - filled, 0);
        if (got <= 0) break;
        filled += static_cast<std::size_t>(got);
    }
    if (filled < sizeof state_) {
        std::random_device device;
        for (std::uint64_t& word : state_) {
            word = (std::uint64_t{device()} << 32) ^ device();
        }
    }
    if ((state_[0] | state_[1] | state_[2] | state_[3]) == 0) state_[0] = 1;
}

namespace {

// Whether the UUID at `at` follows "(uuid", "(tstamp" or "(id", a space or more and a quote or
// none: the item's own UUID.
bool ownUuidAt(std::string_view text, std::size_t at) noexcept {
    std::size_t i = at;
    if (i > 0 && text[i - 1] == '"') --i;
    const std::size_t spaceEnd = i;
    while (i > 0 && isSpace(text[i - 1])) --i;
    if (i == spaceEnd) return false;
    for (const std::string_view key : {"(uuid", "(tstamp", "(id"}) {
        if (i >= key.size() && text.substr(i - key.size(), key.size()) == key) return true;
    }
    return false;
}

}  // namespace

std::vector<std::string_view> itemUuidsIn(std::string_view text) {
    const auto hex = [](char c) noexcept {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    };
    std::vector<std::string_view> found;
    std::size_t i = 0;
    while (i + kUuidLength <= text.size()) {
        // A UUID's fifth group starts 24 characters in: look for the dash before it first.
        const char* const at = text.data() + i;
        bool matches = at[8] == '-' && at[13] == '-' && at[18] == '-' && at[23] == '-';
        for (std::size_t k = 0; matches && k < kUuidLength; ++k) {
            matches = k == 8 || k == 13 || k == 18 || k == 23 ? true : hex(at[k]);
        }
        const bool bounded = (i == 0 || !(hex(text[i - 1]) || text[i - 1] == '-')) &&
                             (i + kUuidLength == text.size() ||
                              !(hex(text[i + kUuidLength]) || text[i + kUuidLength] == '-'));
        if (matches && bounded) {
            if (ownUuidAt(text, i)) found.push_back(text.substr(i, kUuidLength));
            i += kUuidLength;
        } else {
            ++i;
        }
    }
    return found;
}

std::uint64_t UuidGenerator::nextWord() noexcept {
    // xoshiro256**
    const auto rotate = [](std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); };
    const std::uint64_t result = rotate(state_[1] * 5, 7) * 9;
    const std::uint64_t t = state_[1] << 17;
    state_[2] ^= state_[0];
    state_[3] ^= state_[1];
    state_[1] ^= state_[2];
    state_[0] ^= state_[3];
    state_[2] ^= t;
    state_[3] = rotate(state_[3], 45);
    return result;
}

void UuidGenerator::next(char* out) noexcept {
    static constexpr char kHex[] = "0123456789abcdef";
    unsigned char bytes[16];
    const std::uint64_t high = nextWord();
    const std::uint64_t low = nextWord();
    for (int i = 0; i < 8; ++i) {
        bytes[i] = static_cast<unsigned char>(high >> (56 - 8 * i));
        bytes[8 + i] = static_cast<unsigned char>(low >> (56 - 8 * i));
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0Fu) | 0x40u);  // version 4: random
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3Fu) | 0x80u);  // RFC 4122 variant
    char* p = out;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) *p++ = '-';
        *p++ = kHex[bytes[i] >> 4];
        *p++ = kHex[bytes[i] & 0x0Fu];
    }
}

std::string_view defaultBoardText() noexcept {
    // Written by KiCad 9.0 for a new board (pcbnew.NewBoard, then SaveBoard).
    static constexpr char kText[] = R"((kicad_pcb
	(version 20241229)
	(generator "pcbnew")
	(generator_version "9.0")
	(general
		(thickness 1.6)
		(legacy_teardrops no)
	)
	(paper "A4")
	(layers
		(0 "F.Cu" signal)
		(2 "B.Cu" signal)
		(9 "F.Adhes" user "F.Adhesive")
		(11 "B.Adhes" user "B.Adhesive")
		(13 "F.Paste" user)
		(15 "B.Paste" user)
		(5 "F.SilkS" user "F.Silkscreen")
		(7 "B.SilkS" user "B.Silkscreen")
		(1 "F.Mask" user)
		(3 "B.Mask" user)
		(17 "Dwgs.User" user "User.Drawings")
		(19 "Cmts.User" user "User.Comments")
		(21 "Eco1.User" user "User.Eco1")
		(23 "Eco2.User" user "User.Eco2")
		(25 "Edge.Cuts" user)
		(27 "Margin" user)
		(31 "F.CrtYd" user "F.Courtyard")
		(29 "B.CrtYd" user "B.Courtyard")
		(35 "F.Fab" user)
		(33 "B.Fab" user)
		(39 "User.1" user)
		(41 "User.2" user)
		(43 "User.3" user)
		(45 "User.4" user)
	)
	(setup
		(pad_to_mask_clearance 0)
		(allow_soldermask_bridges_in_footprints no)
		(tenting front back)
		(pcbplotparams
			(layerselection 0x00000000_00000000_55555555_5755f5ff)
			(plot_on_all_layers_selection 0x00000000_00000000_00000000_00000000)
			(disableapertmacros no)
			(usegerberextensions no)
			(usegerberattributes yes)
			(usegerberadvancedattributes yes)
			(creategerberjobfile yes)
			(dashed_line_dash_ratio 12.000000)
			(dashed_line_gap_ratio 3.000000)
			(svgprecision 4)
			(plotframeref no)
			(mode 1)
			(useauxorigin no)
			(hpglpennumber 1)
			(hpglpenspeed 20)
			(hpglpendiameter 15.000000)
			(pdf_front_fp_property_popups yes)
			(pdf_back_fp_property_popups yes)
			(pdf_metadata yes)
			(pdf_single_document no)
			(dxfpolygonmode yes)
			(dxfimperialunits yes)
			(dxfusepcbnewfont yes)
			(psnegative no)
			(psa4output no)
			(plot_black_and_white yes)
			(sketchpadsonfab no)
			(plotpadnumbers no)
			(hidednponfab no)
			(sketchdnponfab yes)
			(crossoutdnponfab yes)
			(subtractmaskfromsilk no)
			(outputformat 1)
			(mirror no)
			(drillshape 1)
			(scaleselection 1)
			(outputdirectory "")
		)
	)
	(net 0 "")
	(embedded_fonts no)
)
)";
    return {kText, sizeof(kText) - 1};
}

}  // namespace bitlay::kicad
