#include "dbx-kicad/live/transfer_footprint.h"

#include <cstdint>
#include <string>

#include "dbx-kicad/kicad_text/uuids.h"

namespace bitlay::kicad {

namespace types = kiapi::common::types;
namespace board = kiapi::board::types;

namespace {

// KiCad's field ids and default text for a footprint's mandatory fields.
constexpr int kReferenceField = 0;
constexpr int kValueField = 1;
// The same as a board file's transfer footprint: 1.27 mm, stroke 0.15 mm.
constexpr std::int64_t kTextSizeNm = 1270000;
constexpr std::int64_t kTextStrokeNm = 150000;

// A fresh random id. An item without one costs KiCad a failed parse (an exception) before it
// invents one.
void setNewId(types::KIID* id, UuidGenerator& uuids) {
    id->set_value(std::string(uuids.next().text()));
}

void setPoint(types::Vector2* point, std::int64_t x, std::int64_t y) {
    point->set_x_nm(x);
    point->set_y_nm(y);
}

// A hidden field at the anchor, in KiCad's default text size.
void setField(board::Field* field, int id, board::BoardLayer layer, const std::string& text,
              const types::Vector2& at, UuidGenerator& uuids) {
    field->mutable_id()->set_id(id);
    field->set_visible(false);
    board::BoardText* boardText = field->mutable_text();
    setNewId(boardText->mutable_id(), uuids);
    boardText->set_layer(layer);
    types::Text* shown = boardText->mutable_text();
    shown->set_text(text);
    *shown->mutable_position() = at;
    types::TextAttributes* attributes = shown->mutable_attributes();
    attributes->set_visible(false);
    attributes->set_line_spacing(1.0);
    attributes->mutable_size()->set_x_nm(kTextSizeNm);
    attributes->mutable_size()->set_y_nm(kTextSizeNm);
    attributes->mutable_stroke_width()->set_value_nm(kTextStrokeNm);
}

}  // namespace

TransferFootprint::TransferFootprint(UuidGenerator& uuids) : uuids_(uuids) {
    setNewId(message_.mutable_id(), uuids_);
    message_.set_layer(board::BL_F_Cu);
    message_.mutable_orientation()->set_value_degrees(0);
    board::FootprintAttributes* attributes = message_.mutable_attributes();
    attributes->set_not_in_schematic(true);
    attributes->set_exclude_from_position_files(true);
    attributes->set_exclude_from_bill_of_materials(true);
    // An empty library id: KiCad's library checks pass over a footprint of no library.
    message_.mutable_definition()->mutable_id();
}

void TransferFootprint::addLine(const BoardLine& line, int apiLayer) {
    if (lines_ == 0) setPoint(message_.mutable_position(), line.startX, line.startY);
    board::BoardGraphicShape shape;
    setNewId(shape.mutable_id(), uuids_);
    shape.set_layer(static_cast<board::BoardLayer>(apiLayer));
    auto* stroke = shape.mutable_shape()->mutable_attributes()->mutable_stroke();
    stroke->mutable_width()->set_value_nm(line.width);
    stroke->set_style(types::SLS_SOLID);
    auto* segment = shape.mutable_shape()->mutable_segment();
    setPoint(segment->mutable_start(), line.startX, line.startY);
    setPoint(segment->mutable_end(), line.endX, line.endY);
    message_.mutable_definition()->add_items()->PackFrom(shape);
    ++lines_;
}

board::FootprintInstance& TransferFootprint::finish() {
    const std::string name = transferName(lines_);
    setField(message_.mutable_reference_field(), kReferenceField, board::BL_F_SilkS, name,
             message_.position(), uuids_);
    setField(message_.mutable_value_field(), kValueField, board::BL_F_Fab, "Bitlay",
             message_.position(), uuids_);
    message_.mutable_definition()->mutable_attributes()->set_description(name);
    return message_;
}

}  // namespace bitlay::kicad
