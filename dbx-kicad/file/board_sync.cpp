#include "dbx-kicad/file/board_sync.h"

#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "dbx-kicad/kicad_text/kicad_strings.h"
#include "dbx-kicad/status.h"

namespace bitlay::kicad {
namespace {

bool changedSince(const struct stat& info, const struct timespec& changed) noexcept {
    return info.st_ctim.tv_sec != changed.tv_sec || info.st_ctim.tv_nsec != changed.tv_nsec;
}

}  // namespace

BoardSync::BoardSync(std::string path, BoardFile file, bool watchFile)
    : path_(std::move(path)),
      watchFile_(watchFile),
      fd_(std::move(file.fd)),
      identity_(file.identity),
      changed_(file.changed) {
    for (const BoardLayer& layer : file.outline.layers) {
        layers_.push_back({layer.canonicalName, quoteKicadString(layer.canonicalName), false});
    }
    adopt(file.outline, file.text);
    watch();
    addAttached(identity_);
}

BoardSync::~BoardSync() { removeAttached(identity_); }

DbxStatusCode BoardSync::placeLine(const BoardLine& line) {
    const DbxStatusCode current = makeCurrent();
    if (current != status::kOk) return current;
    if (!layers_[line.layer].listed) return status::kLayerNotFound;

    Line placed;
    placed.uuid = uuids_.next();
    placed.geometry = line;
    return writeItems(&placed);
}

void BoardSync::endTransfer() {
    placed_.endTransfer();
    if (makeCurrent() == status::kOk && placed_.hasWrites()) {
        static_cast<void>(writeItems(nullptr));
    }
}

DbxStatusCode BoardSync::close() {
    DbxStatusCode result = status::kOk;
    if (makeCurrent() != status::kOk ||
        (placed_.hasWrites() && writeItems(nullptr) != status::kOk)) {
        result = status::kDisconnectError;
    }
    if (::fsync(fd_.get()) != 0) result = status::kDisconnectError;
    // Closing the descriptor also releases the lock.
    if (!fd_.close() && result == status::kOk) result = status::kDisconnectError;
    return result;
}

// Takes the board as just read as the state of the file, and finds the placed items it lacks.
void BoardSync::adopt(const BoardOutline& outline, std::string_view text) {
    writer_ = FootprintWriter(footprintSyntaxFor(outline.version));
    end_.adopt(outline, text, footprintClosing(writer_.syntax()));
    for (Layer& layer : layers_) {
        layer.listed = false;
        for (const BoardLayer& listed : outline.layers) {
            if (listed.canonicalName == layer.canonicalName) {
                layer.listed = true;
                break;
            }
        }
    }
    // Nothing of ours stands open in a board read afresh. An item is present by the UUID it
    // carries itself: a group naming a line does not make the line present.
    const std::vector<std::string_view> found = itemUuidsIn(text);
    placed_.boardReplaced(std::unordered_set<std::string_view>(found.begin(), found.end()));
}

// Watches the file just read. A change between the read and the start of the watch shows in the
// change time.
void BoardSync::watch() {
    watch_ = watchFile_ ? BoardWatch(fd_.get(), path_) : BoardWatch();
    struct stat info{};
    if (watch_.active() && (::fstat(fd_.get(), &info) != 0 || changedSince(info, changed_))) {
        mustReread_ = true;
    }
}

// Makes sure the file at the path is still the one attached and still ends as this library left
// it; when another program has saved the board meanwhile, takes the board as it now is. While the
// kernel tells of every change to the file and its name, only its end needs a look.
DbxStatusCode BoardSync::makeCurrent() {
    if (!watch_.active()) return lookAtTheFile();
    // The events so far, read before the board is: a change while it is read tells next time.
    switch (watch_.look()) {
        case BoardWatch::Seen::kNothing:
            return mustReread_ ? lookAtTheFile() : checkTheEnd();
        case BoardWatch::Seen::kOpen:
            // A reader, or a program writing in place that has not closed the file yet: the
            // name, the size and the end must still be this library's.
            return lookAtTheFile(false);
        case BoardWatch::Seen::kChange:
            break;
    }
    // The change time of this library's last write is unknown: whatever changed, read again.
    mustReread_ = true;
    return lookAtTheFile();
}

DbxStatusCode BoardSync::lookAtTheFile(bool byChangeTime) {
    struct stat info{};
    // A board deleted while attached takes no lines until a board is back at its path.
    if (::stat(path_.c_str(), &info) != 0) return status::kUnableToOpenFile;
    if (!(identityOf(info) == identity_)) return reattach();
    const std::string_view expected = end_.standing();
    if (mustReread_ || (byChangeTime && changedSince(info, changed_)) ||
        info.st_size != end_.insertOffset() + static_cast<off_t>(expected.size())) {
        return reread();
    }
    return checkTheEnd();
}

// The file ends with exactly what this library left after the insert offset; else it is read
// again.
DbxStatusCode BoardSync::checkTheEnd() {
    const std::string_view expected = end_.standing();
    // One byte more than expected: a read that gets it finds the file longer.
    tailCheck_.resize(expected.size() + 1);
    const ssize_t got =
        ::pread(fd_.get(), tailCheck_.data(), tailCheck_.size(), end_.insertOffset());
    if (got != static_cast<ssize_t>(expected.size()) ||
        std::string_view(tailCheck_.data(), expected.size()) != expected) {
        return reread();
    }
    return status::kOk;
}

// The same file, written over in place.
DbxStatusCode BoardSync::reread() {
    mustReread_ = true;
    // The change time before the read: a write during the read makes the next call read again.
    struct stat info{};
    if (::fstat(fd_.get(), &info) != 0) return status::kUnableToOpenFile;
    const std::optional<std::string> text = readWhole(fd_.get());
    if (!text) return status::kUnableToOpenFile;
    const BoardOutline outline = readBoardOutline(*text);
    const DbxStatusCode read = statusOf(outline);
    if (read != status::kOk) return read;
    adopt(outline, *text);
    changed_ = info.st_ctim;
    mustReread_ = false;
    return status::kOk;
}

// Another file at the path: saved under a new name and renamed over the attached one. The lock
// moves to the new file; the old one is let go.
DbxStatusCode BoardSync::reattach() {
    mustReread_ = true;
    BoardFile file = openBoardFile(path_.c_str());
    if (file.status != status::kOk) return file.status;
    fd_ = std::move(file.fd);
    replaceAttached(identity_, file.identity);
    identity_ = file.identity;
    changed_ = file.changed;
    adopt(file.outline, file.text);
    mustReread_ = false;
    watch();
    return status::kOk;
}

// After a write of this library's own: its change time, for a design without a watch.
void BoardSync::noteChange() noexcept {
    if (watch_.active()) return;
    struct stat info{};
    if (::fstat(fd_.get(), &info) == 0) {
        changed_ = info.st_ctim;
    } else {
        mustReread_ = true;
    }
}

// The footprints of `write` and `line` when there is one, into the writer.
void BoardSync::writeParts(const Write& write, const Line* line) {
    const auto appendLine = [&](const Line& item, const PlacedFootprints::Footprint& footprint) {
        // Relative to the footprint's anchor, as KiCad writes a footprint's items.
        BoardLine relative = item.geometry;
        relative.startX -= footprint.anchorX;
        relative.startY -= footprint.anchorY;
        relative.endX -= footprint.anchorX;
        relative.endY -= footprint.anchorY;
        writer_.line(relative, layers_[item.geometry.layer].quotedName, item.uuid);
    };
    bool first = true;
    for (const PlacedFootprints::Part& part : write.parts) {
        const PlacedFootprints::Footprint& footprint = placed_.footprintOf(write, part);
        if (part.head) {
            if (first && end_.needsLineBreak()) writer_.append("\n");
            first = false;
            writer_.head(footprint.uuid, footprint.anchorX, footprint.anchorY);
        }
        for (const std::size_t i : part.lines) appendLine(placed_.line(i), footprint);
        if (line != nullptr && &part == &write.parts.back()) appendLine(*line, footprint);
        if (part.close) {
            const std::string name = transferName(placed_.transferLines(footprint.transfer));
            writer_.fields(quoteKicadString(name), uuids_);
            writer_.closing();
        }
    }
}

// Writes what waits and `line` when there is one, in one write where the tail stood, and the tail
// after them. A footprint only ever goes in with all its lines: while one of them cannot (its
// layer is gone), nothing does.
DbxStatusCode BoardSync::writeItems(const Line* line) {
    placed_.plan(line, write_);
    for (const PlacedFootprints::Part& part : write_.parts) {
        for (const std::size_t i : part.lines) {
            // The board as another program saved it may no longer list the layer.
            if (!layers_[placed_.line(i).geometry.layer].listed) return status::kLayerNotFound;
        }
    }
    writer_.clear();
    writeParts(write_, line);
    const auto itemsLength = static_cast<off_t>(writer_.text().size());
    // A footprint left open closes in the tail.
    const bool leftOpen = !write_.parts.empty() && !write_.parts.back().close;
    writer_.append(end_.tailAfter(leftOpen));
    const std::string& text = writer_.text();
    const off_t at = end_.insertOffset();
    const off_t previousEnd = at + static_cast<off_t>(end_.standing().size());

    if (!writeAll(fd_.get(), text.data(), text.size(), at)) {
        // Put back what stood there so the board stays readable, whatever part of the items
        // landed, and read the file again before the next write.
        const std::string_view before = end_.standing();
        if (writeAll(fd_.get(), before.data(), before.size(), at)) {
            static_cast<void>(::ftruncate(fd_.get(), at + static_cast<off_t>(before.size())));
        }
        mustReread_ = true;
        return status::kDatabaseError;
    }
    const off_t end = at + static_cast<off_t>(text.size());
    // Only a board whose tail held more white space than the items are long gets shorter; should
    // that fail, the next call finds the size changed and reads the board again.
    if (end < previousEnd) static_cast<void>(::ftruncate(fd_.get(), end));
    noteChange();
    end_.written(itemsLength, leftOpen);
    placed_.written(write_);
    return status::kOk;
}

}  // namespace bitlay::kicad
