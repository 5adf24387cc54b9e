#pragma once

// A reader of board files for the tests, written apart from the library's own so that a fault
// in one does not hide in the other: a whole s-expression tree, and exact millimetre texts.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bitlay::kicad::test {

struct Node {
    enum class Kind { kSymbol, kString, kList };
    Kind kind = Kind::kList;
    std::string text;  // symbol or unescaped string
    std::vector<Node> items;

    // The first list child whose head symbol is `head`, or null.
    const Node* child(std::string_view head) const;
    std::vector<const Node*> children(std::string_view head) const;
};

// The one form of `text`, or nothing when it is not exactly one well-formed form.
std::optional<Node> parseForm(std::string_view text);

// "-12.5" as database units of 10 nm; nothing for a text that is not exactly such a number.
std::optional<std::int64_t> millimetresToUnits(std::string_view text);

struct GrLine {
    std::int64_t startX = 0, startY = 0, endX = 0, endY = 0, width = 0;
    std::string layer;
    std::string uuid;  // from (uuid ...) or (tstamp ...), empty without either
};

// Every (gr_line ...) of a board, in file order, with KiCad's coordinates in database units; the
// width as (width W) or as (stroke (width W) ...).
std::vector<GrLine> grLines(const Node& board);
std::string describe(const std::vector<GrLine>& lines);

struct Footprint {
    std::string libraryId;  // its first atom
    std::string uuid;       // from (uuid ...) or (tstamp ...)
    std::string layer;
    std::int64_t x = 0, y = 0;  // its anchor, (at X Y)
    bool rotated = false;       // (at X Y ANGLE)
    std::vector<std::string> attributes;
    // Its Reference and Value fields, from (fp_text reference|value ...) or (property ...); empty
    // without one.
    std::string reference, value;
    bool referenceHidden = false, valueHidden = false;
    std::string referenceLayer, valueLayer;
    std::vector<GrLine> lines;  // its (fp_line ...), on the board: its anchor added
};

// Every top-level (footprint ...) of a board, in file order.
std::vector<Footprint> footprints(const Node& board);

// Every line of a board, in file order: its gr_lines and its footprints' fp_lines, on the board.
std::vector<GrLine> boardLines(const Node& board);

struct Group {
    std::string name;
    std::string uuid;                  // from (uuid ...) or (id ...)
    std::vector<std::string> members;  // as listed
};

// Every top-level (group ...) of a board, in file order.
std::vector<Group> groups(const Node& board);

}  // namespace bitlay::kicad::test
