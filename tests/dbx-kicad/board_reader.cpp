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
    std::int64_t scale = 100000;
    for (std::size_t i = 0; i < 5; ++i) {
        scale /= 10;
        if (i < fraction.size()) {
            if (!std::isdigit(static_cast<unsigned char>(fraction[i]))) return std::nullopt;
            units = units * 10 + (fraction[i] - '0');
        } else {
            units *= 10;
        }
    }
    return negative ? -units : units;
}

std::vector<GrLine> grLines(const Node& board) {
    std::vector<GrLine> lines;
    for (const Node* item : board.children("gr_line")) {
        const Node* start = item->child("start");
        const Node* end = item->child("end");
        const Node* layer = item->child("layer");
        const Node* width = item->child("width");
        if (width == nullptr && item->child("stroke") != nullptr) {
            width = item->child("stroke")->child("width");
        }
        if (!start || !end || !layer || !width || start->items.size() != 3 ||
            end->items.size() != 3 || layer->items.size() != 2 || width->items.size() != 2) {
            throw std::runtime_error("malformed gr_line");
        }
        GrLine line;
        line.startX = unitsOf(start->items[1]);
        line.startY = unitsOf(start->items[2]);
        line.endX = unitsOf(end->items[1]);
        line.endY = unitsOf(end->items[2]);
        line.width = unitsOf(width->items[1]);
        line.layer = layer->items[1].text;
        const Node* uuid = item->child("uuid") ? item->child("uuid") : item->child("tstamp");
        if (uuid != nullptr && uuid->items.size() == 2) line.uuid = uuid->items[1].text;
        lines.push_back(line);
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
