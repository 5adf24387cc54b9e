#include "dbx-kicad/kicad_text/board_outline.h"

#include <cstdint>

#include "dbx-kicad/kicad_text/lexer.h"

namespace bitlay::kicad {
namespace {

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

}  // namespace bitlay::kicad
