#include "dbx-kicad/file/footprint_writer.h"

#include "dbx-kicad/file/footprint_layouts.h"
#include "dbx-kicad/kicad_text/board_outline.h"
#include "dbx-kicad/kicad_text/kicad_strings.h"
#include "dbx-kicad/kicad_text/uuids.h"

namespace bitlay::kicad {
namespace {

// What a form's slots hold; a form uses some of them.
struct Slots {
    std::string_view uuid;
    std::int64_t x = 0;  // {at}
    std::int64_t y = 0;
    const BoardLine* line = nullptr;  // {start}, {end}, {width}
    std::string_view layer;
    std::string_view name;
    std::string_view text;
    std::string_view thickness;
};

void appendPoint(std::string& out, std::int64_t x, std::int64_t y) {
    appendMillimetres(out, x);
    out += ' ';
    appendMillimetres(out, y);
}

void fill(std::string& out, std::string_view form, const Slots& slots) {
    for (;;) {
        const std::size_t open = form.find('{');
        out.append(form.substr(0, open));
        if (open == std::string_view::npos) return;
        const std::size_t close = form.find('}', open);
        const std::string_view slot = form.substr(open + 1, close - open - 1);
        form.remove_prefix(close + 1);
        if (slot == "uuid") {
            out.append(slots.uuid);
        } else if (slot == "at") {
            appendPoint(out, slots.x, slots.y);
        } else if (slot == "start") {
            appendPoint(out, slots.line->startX, slots.line->startY);
        } else if (slot == "end") {
            appendPoint(out, slots.line->endX, slots.line->endY);
        } else if (slot == "width") {
            appendMillimetres(out, slots.line->width);
        } else if (slot == "layer") {
            out.append(slots.layer);
        } else if (slot == "name") {
            out.append(slots.name);
        } else if (slot == "text") {
            out.append(slots.text);
        } else if (slot == "thickness") {
            out.append(slots.thickness);
        }
    }
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

FootprintWriter::FootprintWriter(FootprintSyntax syntax) noexcept
    : syntax_(syntax), layout_(&footprintLayout(syntax)) {}

void FootprintWriter::head(const Uuid& uuid, std::int64_t anchorX, std::int64_t anchorY) {
    Slots slots;
    slots.uuid = uuid.text();
    slots.x = anchorX;
    slots.y = anchorY;
    fill(text_, layout_->head, slots);
}

void FootprintWriter::line(const BoardLine& relative, std::string_view quotedLayer,
                           const Uuid& uuid) {
    Slots slots;
    slots.uuid = uuid.text();
    slots.line = &relative;
    slots.layer = quotedLayer;
    fill(text_, layout_->line, slots);
}

void FootprintWriter::fields(std::string_view quotedName, UuidGenerator& uuids) {
    for (std::size_t i = 0; i < layout_->fieldCount; ++i) {
        const FieldForm& field = layout_->fields[i];
        const Uuid uuid = uuids.next();
        Slots slots;
        slots.uuid = uuid.text();
        slots.name = field.name;
        slots.text = field.text.empty() ? quotedName : field.text;
        slots.layer = field.layer;
        slots.thickness = layout_->thickness;
        fill(text_, layout_->field, slots);
    }
}

void FootprintWriter::closing() { text_.append(layout_->closing); }

std::string_view footprintClosing(FootprintSyntax syntax) noexcept {
    return footprintLayout(syntax).closing;
}

}  // namespace bitlay::kicad
