// Board text in memory, through the readers of KiCad's text the stand-in is built on: the lexer,
// the board's outline (version, layers, where it ends), the UUIDs another program's save leaves.
// No file and no design, so that the fuzzer reaches deep into the reading at its own speed; the
// `board` target takes the same bytes through a whole attachment.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "dbx-kicad/kicad_text/board_outline.h"
#include "dbx-kicad/kicad_text/kicad_strings.h"
#include "dbx-kicad/kicad_text/lexer.h"
#include "dbx-kicad/kicad_text/uuids.h"
#include "fuzz_support.h"

namespace {

using namespace bitlay::kicad;

FUZZ_CHECKS_ONLY bool isHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Each token starts after the one before and within the text; a symbol is the text where it
// stands, and a string read back from its quoted form is the same string.
FUZZ_CHECKS_ONLY void lexWhole(std::string_view text) {
    Lexer lexer(text);
    std::size_t previousEnd = 0;
    for (;;) {
        const Token token = lexer.next();
        FUZZ_CHECK(token.offset >= previousEnd && token.offset <= text.size());
        FUZZ_CHECK(lexer.position() > token.offset || token.kind == TokenKind::kEnd);
        FUZZ_CHECK(lexer.position() <= text.size());
        if (token.kind == TokenKind::kEnd) {
            FUZZ_CHECK(token.offset == text.size());
            return;
        }
        if (token.kind == TokenKind::kError) return;
        if (token.kind == TokenKind::kSymbol) {
            FUZZ_CHECK(!token.text.empty());
            FUZZ_CHECK(text.substr(token.offset, token.text.size()) == token.text);
            FUZZ_CHECK(lexer.position() == token.offset + token.text.size());
        }
        if (token.kind == TokenKind::kString) {
            const std::string quoted = quoteKicadString(token.text);
            Lexer again(quoted);
            const Token read = again.next();
            FUZZ_CHECK(read.kind == TokenKind::kString);
            FUZZ_CHECK(read.text == token.text);
            FUZZ_CHECK(again.next().kind == TokenKind::kEnd);
        }
        previousEnd = lexer.position();
    }
}

// A board read whole ends where it says, takes items where it says, and reads as the same board
// with one more item there, as the stand-in's writes leave it.
FUZZ_CHECKS_ONLY void readOutline(std::string_view text) {
    const BoardOutline outline = readBoardOutline(text);
    if (outline.result == BoardReadResult::kTooNew) {
        FUZZ_CHECK(outline.version > kNewestBoardVersion);
        return;
    }
    if (outline.result != BoardReadResult::kOk) return;
    FUZZ_CHECK(outline.version <= kNewestBoardVersion);
    FUZZ_CHECK(!outline.layers.empty());
    FUZZ_CHECK(outline.closingOffset < text.size() && text[outline.closingOffset] == ')');
    for (std::size_t i = outline.closingOffset + 1; i < text.size(); ++i)
        FUZZ_CHECK(isKicadSpace(text[i]));
    FUZZ_CHECK(outline.insertOffset <= outline.closingOffset);
    for (const BoardLayer& layer : outline.layers) {
        FUZZ_CHECK(toLatin1(layer.canonicalName).size() <= layer.canonicalName.size());
        FUZZ_CHECK(toLatin1(layer.userName).size() <= layer.userName.size());
    }

    const std::string item = "(gr_line (start 0 0) (end 1 1) (layer \"F.Cu\") (uuid \"" +
                             std::string(kUuidLength, '0') + "\"))\n";
    std::string written(text.substr(0, outline.insertOffset));
    written += '\n';
    written += item;
    written += text.substr(outline.insertOffset);
    const BoardOutline after = readBoardOutline(written);
    FUZZ_CHECK(after.result == BoardReadResult::kOk);
    FUZZ_CHECK(after.version == outline.version);
    FUZZ_CHECK(after.closingOffset == outline.closingOffset + item.size() + 1);
    FUZZ_CHECK(after.layers.size() == outline.layers.size());
    for (std::size_t i = 0; i < after.layers.size(); ++i) {
        FUZZ_CHECK(after.layers[i].canonicalName == outline.layers[i].canonicalName);
        FUZZ_CHECK(after.layers[i].userName == outline.layers[i].userName);
    }
}

// Every UUID found is a piece of the text in KiCad's form.
FUZZ_CHECKS_ONLY void findUuids(std::string_view text) {
    for (const std::string_view uuid : itemUuidsIn(text)) {
        FUZZ_CHECK(uuid.size() == kUuidLength);
        FUZZ_CHECK(uuid.data() >= text.data() &&
                   uuid.data() + uuid.size() <= text.data() + text.size());
        for (std::size_t i = 0; i < uuid.size(); ++i)
            FUZZ_CHECK((i == 8 || i == 13 || i == 18 || i == 23) ? uuid[i] == '-' : isHex(uuid[i]));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    lexWhole(text);
    readOutline(text);
    findUuids(text);
    return 0;
}
