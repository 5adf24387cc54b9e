#include "dbx-kicad/file/footprint_text.h"

#include <cstring>

namespace bitlay::kicad {
namespace {

template <std::size_t N>
char* appendText(char* p, const char (&text)[N]) noexcept {
    std::memcpy(p, text, N - 1);
    return p + (N - 1);
}

char* appendBytes(char* p, std::string_view text) noexcept {
    std::memcpy(p, text.data(), text.size());
    return p + text.size();
}

char* appendUuid(char* p, const char* uuid) noexcept {
    std::memcpy(p, uuid, kUuidLength);
    return p + kUuidLength;
}

char* appendPoint(char* p, std::int64_t x, std::int64_t y) noexcept {
    p += appendMillimetres(p, x);
    *p++ = ' ';
    return p + appendMillimetres(p, y);
}

bool normalized(FootprintSyntax syntax) noexcept {
    return syntax == FootprintSyntax::kKicad8 || syntax == FootprintSyntax::kKicad9 ||
           syntax == FootprintSyntax::kKicad10;
}

// KiCad 6 and 7: a footprint's text, its effects one level deeper from KiCad 7 on.
char* appendFpText(char* p, FootprintSyntax syntax, const char* kind, std::string_view quotedText,
                   const char* quotedLayer, const char* uuid) noexcept {
    p = appendText(p, "    (fp_text ");
    p = appendBytes(p, kind);
    *p++ = ' ';
    p = appendBytes(p, quotedText);
    p = appendText(p, " (at 0 0) (layer ");
    p = appendBytes(p, quotedLayer);
    p = appendText(p, ") hide\n");
    p = syntax == FootprintSyntax::kKicad6 ? appendText(p, "      (effects")
                                           : appendText(p, "        (effects");
    p = appendText(p, " (font (size 1.27 1.27) (thickness 0.15)))\n      (tstamp ");
    p = appendUuid(p, uuid);
    return appendText(p, ")\n    )\n");
}

// KiCad 8 and later: a field as a hidden property.
char* appendProperty(char* p, FootprintSyntax syntax, const char* name, std::string_view quotedText,
                     const char* quotedLayer, const char* uuid) noexcept {
    p = appendText(p, "\t\t(property \"");
    p = appendBytes(p, name);
    p = appendText(p, "\" ");
    p = appendBytes(p, quotedText);
    p = appendText(p, "\n\t\t\t(at 0 0 0)\n\t\t\t(layer ");
    p = appendBytes(p, quotedLayer);
    p = appendText(p, ")\n\t\t\t(hide yes)\n\t\t\t(uuid \"");
    p = appendUuid(p, uuid);
    p = appendText(p, "\")\n\t\t\t(effects\n\t\t\t\t(font\n\t\t\t\t\t(size 1.27 1.27)\n");
    if (syntax != FootprintSyntax::kKicad10) p = appendText(p, "\t\t\t\t\t(thickness 0.15)\n");
    return appendText(p, "\t\t\t\t)\n\t\t\t)\n\t\t)\n");
}

}  // namespace

FootprintSyntax footprintSyntaxFor(std::int64_t version) noexcept {
    if (version >= kJumperPadsVersion) return FootprintSyntax::kKicad10;
    if (version >= kEmbeddedFilesVersion) return FootprintSyntax::kKicad9;
    if (version >= kNormalizedVersion) return FootprintSyntax::kKicad8;
    if (version >= kWithoutTeditVersion) return FootprintSyntax::kKicad7;
    if (version >= kStrokeVersion) return FootprintSyntax::kKicad7Tedit;
    return FootprintSyntax::kKicad6;
}

std::size_t appendFootprintHead(char* out, FootprintSyntax syntax, const char* uuid,
                                std::int64_t anchorX, std::int64_t anchorY) noexcept {
    char* p = out;
    if (normalized(syntax)) {
        p = appendText(p, "\t(footprint \"\"\n\t\t(layer \"F.Cu\")\n\t\t(uuid \"");
        p = appendUuid(p, uuid);
        p = appendText(p, "\")\n\t\t(at ");
        p = appendPoint(p, anchorX, anchorY);
        p = appendText(p, ")\n\t\t(attr board_only exclude_from_pos_files exclude_from_bom)\n");
        if (syntax == FootprintSyntax::kKicad10) {
            p = appendText(p, "\t\t(duplicate_pad_numbers_are_jumpers no)\n");
        }
        return static_cast<std::size_t>(p - out);
    }
    p = appendText(p, "  (footprint \"\" (layer \"F.Cu\")\n    ");
    if (syntax != FootprintSyntax::kKicad7) p = appendText(p, "(tedit 0) ");
    p = appendText(p, "(tstamp ");
    p = appendUuid(p, uuid);
    p = appendText(p, ")\n    (at ");
    p = appendPoint(p, anchorX, anchorY);
    p = appendText(p, ")\n    (attr board_only exclude_from_pos_files exclude_from_bom)\n");
    return static_cast<std::size_t>(p - out);
}

std::size_t appendFootprintLine(char* out, FootprintSyntax syntax, const LineGeometry& line,
                                std::string_view quotedLayer, const char* uuid) noexcept {
    char* p = out;
    switch (syntax) {
        case FootprintSyntax::kKicad6:
            // One line, the width after the layer.
            p = appendText(p, "    (fp_line (start ");
            p = appendPoint(p, line.startX, line.startY);
            p = appendText(p, ") (end ");
            p = appendPoint(p, line.endX, line.endY);
            p = appendText(p, ") (layer ");
            p = appendBytes(p, quotedLayer);
            p = appendText(p, ") (width ");
            p += appendMillimetres(p, line.width);
            p = appendText(p, ") (tstamp ");
            p = appendUuid(p, uuid);
            p = appendText(p, "))\n");
            break;
        case FootprintSyntax::kKicad7Tedit:
        case FootprintSyntax::kKicad7:
            // The points on the first line, the stroke and the rest on a second one.
            p = appendText(p, "    (fp_line (start ");
            p = appendPoint(p, line.startX, line.startY);
            p = appendText(p, ") (end ");
            p = appendPoint(p, line.endX, line.endY);
            p = appendText(p, ")\n      (stroke (width ");
            p += appendMillimetres(p, line.width);
            p = appendText(p, ") (type solid)) (layer ");
            p = appendBytes(p, quotedLayer);
            p = appendText(p, ") (tstamp ");
            p = appendUuid(p, uuid);
            p = appendText(p, "))\n");
            break;
        case FootprintSyntax::kKicad8:
        case FootprintSyntax::kKicad9:
        case FootprintSyntax::kKicad10:
            // Every list on a line of its own, one tab a level.
            p = appendText(p, "\t\t(fp_line\n\t\t\t(start ");
            p = appendPoint(p, line.startX, line.startY);
            p = appendText(p, ")\n\t\t\t(end ");
            p = appendPoint(p, line.endX, line.endY);
            p = appendText(p, ")\n\t\t\t(stroke\n\t\t\t\t(width ");
            p += appendMillimetres(p, line.width);
            p = appendText(p, ")\n\t\t\t\t(type default)\n\t\t\t)\n\t\t\t(layer ");
            p = appendBytes(p, quotedLayer);
            p = appendText(p, ")\n\t\t\t(uuid \"");
            p = appendUuid(p, uuid);
            p = appendText(p, "\")\n\t\t)\n");
            break;
    }
    return static_cast<std::size_t>(p - out);
}

std::size_t appendFootprintFields(char* out, FootprintSyntax syntax, std::string_view quotedName,
                                  UuidGenerator& uuids) noexcept {
    char uuid[kUuidLength];
    char* p = out;
    if (!normalized(syntax)) {
        uuids.next(uuid);
        p = appendFpText(p, syntax, "reference", quotedName, "\"F.SilkS\"", uuid);
        uuids.next(uuid);
        p = appendFpText(p, syntax, "value", "\"Bitlay\"", "\"F.Fab\"", uuid);
        return static_cast<std::size_t>(p - out);
    }
    // KiCad 8 writes every footprint field, empty or not; KiCad 9 has no Footprint field.
    uuids.next(uuid);
    p = appendProperty(p, syntax, "Reference", quotedName, "\"F.SilkS\"", uuid);
    uuids.next(uuid);
    p = appendProperty(p, syntax, "Value", "\"Bitlay\"", "\"F.Fab\"", uuid);
    if (syntax == FootprintSyntax::kKicad8) {
        uuids.next(uuid);
        p = appendProperty(p, syntax, "Footprint", "\"\"", "\"F.Fab\"", uuid);
    }
    uuids.next(uuid);
    p = appendProperty(p, syntax, "Datasheet", "\"\"", "\"F.Fab\"", uuid);
    uuids.next(uuid);
    p = appendProperty(p, syntax, "Description", "\"\"", "\"F.Fab\"", uuid);
    return static_cast<std::size_t>(p - out);
}

std::string_view footprintClosing(FootprintSyntax syntax) noexcept {
    switch (syntax) {
        case FootprintSyntax::kKicad9:
        case FootprintSyntax::kKicad10:
            return "\t\t(embedded_fonts no)\n\t)\n";
        case FootprintSyntax::kKicad8:
            return "\t)\n";
        default:
            return "  )\n";
    }
}

}  // namespace bitlay::kicad
