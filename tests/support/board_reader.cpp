#include "board_reader.h"

#include <cctype>
#include <stdexcept>

namespace bitlay::kicad::test {
namespace {

struct Parser {
    std::string_view text;
    std::size_t pos = 0;

    void skipSpace() {
        while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) ++pos;
    }

    Node parseNode() {
        skipSpace();
        if (pos >= text.size()) throw std::runtime_error("unexpected end");
        Node node;
        const char c = text[pos];
        if (c == ')') throw std::runtime_error("unexpected )");
        if (c == '(') {
            ++pos;
            for (;;) {
                skipSpace();
                if (pos >= text.size()) throw std::runtime_error("unclosed list");
                if (text[pos] == ')') {
                    ++pos;
                    return node;
                }
                node.items.push_back(parseNode());
            }
        }
        if (c == '"') {
            node.kind = Node::Kind::kString;
            ++pos;
            while (pos < text.size() && text[pos] != '"') {
                char d = text[pos++];
                if (d == '\n') throw std::runtime_error("line break in string");
                if (d == '\\' && pos < text.size()) {
                    d = text[pos++];
                    if (d == 'n') d = '\n';
                    if (d == 'r') d = '\r';
                    if (d == 't') d = '\t';
                }
                node.text += d;
            }
            if (pos >= text.size()) throw std::runtime_error("unterminated string");
            ++pos;
            return node;
        }
        node.kind = Node::Kind::kSymbol;
        while (pos < text.size() && !std::isspace(static_cast<unsigned char>(text[pos])) &&
               text[pos] != '(' && text[pos] != ')' && text[pos] != '"') {
            node.text += text[pos++];
        }
        return node;
    }
};

std::int64_t unitsOf(const Node& number) {
    const auto units = millimetresToUnits(number.text);
    if (number.kind != Node::Kind::kSymbol || !units) throw std::runtime_error("bad number");
    return *units;
}

}  // namespace

const Node* Node::child(std::string_view head) const {
    for (const Node& item : items) {
        if (item.kind == Kind::kList && !item.items.empty() &&
            item.items[0].kind == Kind::kSymbol && item.items[0].text == head) {
            return &item;
        }
    }
    return nullptr;
}

std::vector<const Node*> Node::children(std::string_view head) const {
    std::vector<const Node*> found;
    for (const Node& item : items) {
        if (item.kind == Kind::kList && !item.items.empty() && item.items[0].text == head) {
            found.push_back(&item);
        }
    }
    return found;
}

std::optional<Node> parseForm(std::string_view text) {
    Parser parser{text};
    try {
        parser.skipSpace();
        if (parser.pos >= text.size() || text[parser.pos] != '(') return std::nullopt;
        Node node = parser.parseNode();
        parser.skipSpace();
        if (parser.pos != text.size()) return std::nullopt;
        return node;
    } catch (const std::runtime_error&) {
        return std::nullopt;
    }
}

std::optional<std::int64_t> millimetresToUnits(std::string_view text) {
    bool negative = false;
    if (!text.empty() && text[0] == '-') {
        negative = true;
        text.remove_prefix(1);
    }
    const std::size_t point = text.find('.');
    const std::string_view whole = text.substr(0, point);
    const std::string_view fraction =
        point == std::string_view::npos ? std::string_view{} : text.substr(point + 1);
    if (whole.empty() || whole.size() > 12) return std::nullopt;
    if (point != std::string_view::npos && (fraction.empty() || fraction.size() > 5)) {
        return std::nullopt;
    }
    std::int64_t units = 0;
    for (const char c : whole) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
        units = units * 10 + (c - '0');
    }
    for (std::size_t i = 0; i < 5; ++i) {
        if (i < fraction.size()) {
            if (!std::isdigit(static_cast<unsigned char>(fraction[i]))) return std::nullopt;
            units = units * 10 + (fraction[i] - '0');
        } else {
            units *= 10;
        }
    }
    return negative ? -units : units;
}

namespace {

GrLine lineOf(const Node& item) {
    const Node* start = item.child("start");
    const Node* end = item.child("end");
    const Node* layer = item.child("layer");
    const Node* width = item.child("width");
    if (width == nullptr && item.child("stroke") != nullptr) {
        width = item.child("stroke")->child("width");
    }
    if (!start || !end || !layer || !width || start->items.size() != 3 || end->items.size() != 3 ||
        layer->items.size() != 2 || width->items.size() != 2) {
        throw std::runtime_error("malformed line");
    }
    GrLine line;
    line.startX = unitsOf(start->items[1]);
    line.startY = unitsOf(start->items[2]);
    line.endX = unitsOf(end->items[1]);
    line.endY = unitsOf(end->items[2]);
    line.width = unitsOf(width->items[1]);
    line.layer = layer->items[1].text;
    const Node* uuid = item.child("uuid") ? item.child("uuid") : item.child("tstamp");
    if (uuid != nullptr && uuid->items.size() == 2) line.uuid = uuid->items[1].text;
    return line;
}

// A field's text, whether it is hidden and its layer.
void readField(const Node& field, std::size_t textAt, std::string& text, bool& hidden,
               std::string& layer) {
    if (field.items.size() <= textAt) throw std::runtime_error("malformed field");
    text = field.items[textAt].text;
    for (const Node& item : field.items) {
        if (item.kind == Node::Kind::kSymbol && item.text == "hide") hidden = true;
    }
    const Node* hide = field.child("hide");
    if (hide != nullptr && hide->items.size() == 2 && hide->items[1].text == "yes") hidden = true;
    const Node* on = field.child("layer");
    if (on != nullptr && on->items.size() >= 2) layer = on->items[1].text;
}

}  // namespace

std::vector<GrLine> grLines(const Node& board) {
    std::vector<GrLine> lines;
    for (const Node* item : board.children("gr_line")) lines.push_back(lineOf(*item));
    return lines;
}

std::vector<Footprint> footprints(const Node& board) {
    std::vector<Footprint> found;
    for (const Node* item : board.children("footprint")) {
        Footprint footprint;
        const Node* at = item->child("at");
        const Node* layer = item->child("layer");
        const Node* uuid = item->child("uuid") ? item->child("uuid") : item->child("tstamp");
        if (item->items.size() < 2 || !at || at->items.size() < 3 || !layer ||
            layer->items.size() != 2 || !uuid || uuid->items.size() != 2) {
            throw std::runtime_error("malformed footprint");
        }
        footprint.libraryId = item->items[1].text;
        footprint.uuid = uuid->items[1].text;
        footprint.layer = layer->items[1].text;
        footprint.x = unitsOf(at->items[1]);
        footprint.y = unitsOf(at->items[2]);
        footprint.rotated = at->items.size() > 3;
        if (const Node* attr = item->child("attr")) {
            for (std::size_t i = 1; i < attr->items.size(); ++i) {
                footprint.attributes.push_back(attr->items[i].text);
            }
        }
        for (const Node* text : item->children("fp_text")) {
            if (text->items.size() > 1 && text->items[1].text == "reference") {
                readField(*text, 2, footprint.reference, footprint.referenceHidden,
                          footprint.referenceLayer);
            } else if (text->items.size() > 1 && text->items[1].text == "value") {
                readField(*text, 2, footprint.value, footprint.valueHidden, footprint.valueLayer);
            }
        }
        for (const Node* property : item->children("property")) {
            if (property->items.size() > 1 && property->items[1].text == "Reference") {
                readField(*property, 2, footprint.reference, footprint.referenceHidden,
                          footprint.referenceLayer);
            } else if (property->items.size() > 1 && property->items[1].text == "Value") {
                readField(*property, 2, footprint.value, footprint.valueHidden,
                          footprint.valueLayer);
            }
        }
        for (const Node* child : item->children("fp_line")) {
            GrLine line = lineOf(*child);
            line.startX += footprint.x;
            line.startY += footprint.y;
            line.endX += footprint.x;
            line.endY += footprint.y;
            footprint.lines.push_back(line);
        }
        found.push_back(std::move(footprint));
    }
    return found;
}

std::vector<GrLine> boardLines(const Node& board) {
    std::vector<GrLine> lines;
    for (const Node& item : board.items) {
        if (item.kind != Node::Kind::kList || item.items.empty()) continue;
        if (item.items[0].text == "gr_line") lines.push_back(lineOf(item));
        if (item.items[0].text != "footprint") continue;
        Node alone;
        alone.items.push_back(item);
        std::vector<Footprint> one = footprints(alone);
        for (GrLine& line : one.front().lines) lines.push_back(std::move(line));
    }
    return lines;
}

std::string describe(const std::vector<GrLine>& lines) {
    std::string text;
    for (const GrLine& line : lines) {
        text += std::to_string(line.startX) + "," + std::to_string(line.startY) + " -> " +
                std::to_string(line.endX) + "," + std::to_string(line.endY) + " w" +
                std::to_string(line.width) + " " + line.layer + "\n";
    }
    return text;
}

std::vector<Group> groups(const Node& board) {
    std::vector<Group> found;
    for (const Node* item : board.children("group")) {
        const Node* uuid = item->child("uuid") ? item->child("uuid") : item->child("id");
        const Node* members = item->child("members");
        if (item->items.size() < 2 || item->items[1].kind != Node::Kind::kString || !uuid ||
            uuid->items.size() != 2 || !members) {
            throw std::runtime_error("malformed group");
        }
        Group group{item->items[1].text, uuid->items[1].text, {}};
        for (std::size_t i = 1; i < members->items.size(); ++i) {
            if (members->items[i].kind == Node::Kind::kList) {
                throw std::runtime_error("malformed group member");
            }
            group.members.push_back(members->items[i].text);
        }
        found.push_back(group);
    }
    return found;
}

}  // namespace bitlay::kicad::test
