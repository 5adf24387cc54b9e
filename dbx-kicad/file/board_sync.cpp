#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "dbx-kicad/file/file_design_impl.h"
#include "dbx-kicad/status.h"

namespace bitlay::kicad {

// Takes the board as just read as the state of the file, and finds the placed items it lacks.
void FileDesign::adopt(const BoardOutline& outline, std::string_view text) {
    syntax_ = footprintSyntaxFor(outline.version);
    insertOffset_ = static_cast<off_t>(outline.insertOffset);
    foundTail_.assign(text.substr(outline.insertOffset));
    if (outline.insertOffset == outline.closingOffset) {
        tail_ = ")\n";
        needsLineBreak_ = outline.closingOffset > 0 && text[outline.closingOffset - 1] != '\n';
    } else {
        tail_ = foundTail_;
        needsLineBreak_ = false;
    }
    openTail_ = std::string(footprintClosing(syntax_)) + tail_;
    tailIsOurs_ = false;
    footprintOpen_ = false;
    layerListed_.assign(canonicalNames_.size(), false);
    for (std::size_t i = 0; i < canonicalNames_.size(); ++i) {
        for (const BoardLayer& layer : outline.layers) {
            if (layer.canonicalName == canonicalNames_[i]) {
                layerListed_[i] = true;
                break;
            }
        }
    }
    // Nothing of ours stands open in a board read afresh. An item is present by the UUID it
    // carries itself: a group naming a line does not make the line present.
    const std::vector<std::string_view> found = itemUuidsIn(text);
    placed_.boardReplaced(std::unordered_set<std::string_view>(found.begin(), found.end()));
}

// Makes sure the file at the path is still the one attached and still ends as this library left
// it; when another program has saved the board meanwhile, takes the board as it now is.
DbxStatusCode FileDesign::makeCurrent() {
    struct stat info{};
    // A board deleted while attached takes no lines until a board is back at its path.
    if (::stat(path_.c_str(), &info) != 0) return status::kUnableToOpenFile;
    if (!(identityOf(info) == identity_)) return reattach();
    const std::string_view expected = expectedTail();
    if (mustReread_ || info.st_ctim.tv_sec != changed_.tv_sec ||
        info.st_ctim.tv_nsec != changed_.tv_nsec ||
        info.st_size != insertOffset_ + static_cast<off_t>(expected.size())) {
        return reread();
    }
    tailCheck_.resize(expected.size());
    const ssize_t got = ::pread(fd_, tailCheck_.data(), expected.size(), insertOffset_);
    if (got != static_cast<ssize_t>(expected.size()) || std::string_view(tailCheck_) != expected) {
        return reread();
    }
    return status::kOk;
}

// The same file, written over in place.
DbxStatusCode FileDesign::reread() {
    mustReread_ = true;
    // The change time before the read: a write during the read makes the next call read again.
    struct stat info{};
    if (::fstat(fd_, &info) != 0) return status::kUnableToOpenFile;
    std::string text;
    if (!readWhole(fd_, text)) return status::kUnableToOpenFile;
    const BoardOutline outline = readBoardOutline(text);
    const DbxStatusCode read = statusOf(outline);
    if (read != status::kOk) return read;
    adopt(outline, text);
    changed_ = info.st_ctim;
    mustReread_ = false;
    return status::kOk;
}

// Another file at the path: saved under a new name and renamed over the attached one. The lock
// moves to the new file; the old one is let go.
DbxStatusCode FileDesign::reattach() {
    mustReread_ = true;
    BoardFile file;
    const DbxStatusCode opened = openBoardFile(path_.c_str(), file);
    if (opened != status::kOk) return opened;
    ::close(fd_);
    fd_ = file.fd;
    replaceAttached(identity_, file.identity);
    identity_ = file.identity;
    changed_ = file.changed;
    adopt(file.outline, file.text);
    mustReread_ = false;
    return status::kOk;
}

// After a write of this library's own.
void FileDesign::noteChange() noexcept {
    struct stat info{};
    if (::fstat(fd_, &info) == 0) {
        changed_ = info.st_ctim;
    } else {
        mustReread_ = true;
    }
}

char* FileDesign::startItem(char* out) noexcept {
    if (needsLineBreak_) {
        *out++ = '\n';
        needsLineBreak_ = false;
    }
    return out;
}

// The bytes `write` takes at most, and the quoted names of the footprints it closes.
std::size_t FileDesign::roomFor(const Write& write, std::vector<std::string>& names) const {
    const std::size_t lineRoom = kFootprintLineRoom + longestLayer_;
    std::size_t room = 1 + openTail_.size();
    for (const PlacedFootprints::Part& part : write.parts) {
        room += (part.head ? kFootprintHeadRoom : 0) + part.lines.size() * lineRoom;
        if (part.close) {
            const std::size_t transfer = placed_.footprintOf(write, part).transfer;
            names.push_back(quoteKicadString(transferName(placed_.transferLines(transfer))));
            room += kFootprintFieldsRoom + names.back().size() + footprintClosing(syntax_).size();
        }
    }
    return room + (write.line != nullptr ? lineRoom : 0);
}

// Writes what waits and `line` when there is one, in one write where the tail stood, and the tail
// after them. A footprint only ever goes in with all its lines: while one of them cannot (its
// layer is gone), nothing does.
DbxStatusCode FileDesign::writeItems(const Line* line) {
    const Write& write = write_;
    placed_.plan(line, write_);
    for (const PlacedFootprints::Part& part : write.parts) {
        for (const std::size_t i : part.lines) {
            // The board as another program saved it may no longer list the layer.
            if (!layerListed_[placed_.line(i).layer]) return status::kLayerNotFound;
        }
    }
    std::vector<std::string> names;
    lineBuffer_.resize(roomFor(write, names));
    const bool lineBreakBefore = needsLineBreak_;
    char* const start = lineBuffer_.data();
    char* p = start;
    const auto appendLine = [&](const Line& item, const PlacedFootprints::Footprint& footprint) {
        // Relative to the footprint's anchor, as KiCad writes a footprint's items.
        const LineGeometry relative{item.geometry.startX - footprint.anchorX,
                                    item.geometry.startY - footprint.anchorY,
                                    item.geometry.endX - footprint.anchorX,
                                    item.geometry.endY - footprint.anchorY, item.geometry.width};
        p += appendFootprintLine(p, syntax_, relative, quotedLayers_[item.layer], item.uuid);
    };
    std::size_t closed = 0;
    for (const PlacedFootprints::Part& part : write.parts) {
        const PlacedFootprints::Footprint& footprint = placed_.footprintOf(write, part);
        if (part.head) {
            p = startItem(p);
            p += appendFootprintHead(p, syntax_, footprint.uuid, footprint.anchorX,
                                     footprint.anchorY);
        }
        for (const std::size_t i : part.lines) appendLine(placed_.line(i), footprint);
        if (line != nullptr && &part == &write.parts.back()) appendLine(*line, footprint);
        if (part.close) {
            p += appendFootprintFields(p, syntax_, names[closed++], uuids_);
            const std::string_view closing = footprintClosing(syntax_);
            std::memcpy(p, closing.data(), closing.size());
            p += closing.size();
        }
    }
    const auto itemsLength = static_cast<off_t>(p - start);
    // A footprint left open closes in the tail.
    const bool leftOpen = !write.parts.empty() && !write.parts.back().close;
    const std::string_view tail = leftOpen ? openTail_ : tail_;
    std::memcpy(p, tail.data(), tail.size());
    p += tail.size();
    const auto length = static_cast<std::size_t>(p - start);
    const off_t previousEnd = insertOffset_ + static_cast<off_t>(expectedTail().size());

    if (!writeAll(fd_, start, length, insertOffset_)) {
        // Put the tail back so the board stays readable, whatever part of the items landed, and
        // read the file again before the next write.
        const std::string_view before = footprintOpen_ ? openTail_ : tail_;
        if (writeAll(fd_, before.data(), before.size(), insertOffset_)) {
            static_cast<void>(::ftruncate(fd_, insertOffset_ + static_cast<off_t>(before.size())));
        }
        needsLineBreak_ = lineBreakBefore;
        mustReread_ = true;
        return status::kDatabaseError;
    }
    const off_t end = insertOffset_ + static_cast<off_t>(length);
    // Only a board whose tail held more white space than the items are long gets shorter; should
    // that fail, the next call finds the size changed and reads the board again.
    if (end < previousEnd) static_cast<void>(::ftruncate(fd_, end));
    noteChange();
    insertOffset_ += itemsLength;
    footprintOpen_ = leftOpen;
    tailIsOurs_ = true;
    placed_.written(write);
    return status::kOk;
}

}  // namespace bitlay::kicad
