#include "dbx-kicad/file/file_design.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "dbx-kicad/file/board_file.h"
#include "dbx-kicad/file/board_text.h"
#include "dbx-kicad/file/footprint_text.h"
#include "dbx-kicad/file/placed_footprints.h"
#include "dbx-kicad/status.h"
#include "dbx-kicad/transfer_timer.h"

namespace bitlay::kicad {
namespace {

// Every line goes into the file at once, inside its transfer's footprint, which stands open in
// the board while the transfer goes on. A thread of the design closes the footprint once the
// transfer is over (the caller has been away for a while; DBX has no call that ends a transfer),
// or the close when it comes first.
class FileDesign final : public Design {
  public:
    FileDesign(std::string path, const BoardFile& file)
        : path_(std::move(path)), fd_(file.fd), identity_(file.identity) {
        for (const BoardLayer& layer : file.outline.layers) {
            layerNames_.push_back(makeLayerName(layer.canonicalName, layer.userName));
            canonicalNames_.push_back(layer.canonicalName);
            quotedLayers_.push_back(quoteKicadString(layer.canonicalName));
            longestLayer_ = std::max(longestLayer_, quotedLayers_.back().size());
        }
        adopt(file.outline, file.text);
        worker_ = std::thread([this] { run(); });
        addAttached(identity_);
    }

    ~FileDesign() override {
        stopWorker();
        if (fd_ >= 0) ::close(fd_);
        removeAttached(identity_);
    }

    DbxStatusCode placeLine(const LineRecord& line) override;
    DbxStatusCode close() override;

  private:
    using Line = PlacedFootprints::Line;
    using Write = PlacedFootprints::Write;

    void run();
    void stopWorker();
    void endTransfer();
    DbxStatusCode placeLocked(const LineRecord& line);
    void adopt(const BoardOutline& outline, std::string_view text);
    char* startItem(char* out) noexcept;
    std::size_t roomFor(const Write& write, std::vector<std::string>& names) const;
    DbxStatusCode writeItems(const Line* line);
    DbxStatusCode makeCurrent();
    DbxStatusCode reread();
    DbxStatusCode reattach();
    std::string_view expectedTail() const noexcept {
        if (!tailIsOurs_) return foundTail_;
        return footprintOpen_ ? openTail_ : tail_;
    }

    std::string path_;  // absolute, so that a change of working directory does not matter
    int fd_;
    FileIdentity identity_;
    // The layers as listed at attach: layer ids keep their meaning for the whole attachment.
    std::vector<std::string> canonicalNames_;
    std::vector<std::string> quotedLayers_;
    std::size_t longestLayer_ = 0;
    // Per layer: still listed in the board as last read.
    std::vector<bool> layerListed_;

    // Where the board stands on disk: new items go at insertOffset_, everything from there to
    // the end of the file is the tail: the open footprint's closing, if one stands open, and the
    // file's own tail after it.
    FootprintSyntax syntax_ = FootprintSyntax::kKicad6;
    off_t insertOffset_ = 0;
    std::string tail_;       // the file's tail, written after every item
    std::string openTail_;   // a footprint's closing and the file's tail
    std::string foundTail_;  // the tail as read, until the first item replaces it
    bool tailIsOurs_ = false;
    bool footprintOpen_ = false;   // the last write left a footprint open: its tail is openTail_
    bool needsLineBreak_ = false;  // the first item goes on a line of its own
    bool mustReread_ = false;      // the file's state is unknown: read it before any write

    UuidGenerator uuids_;
    // Every line placed while attached and its footprint, so that a save by another program that
    // drops some of them (an editor saving the board as it had it open) does not lose them.
    PlacedFootprints placed_{uuids_};
    PlacedFootprints::Write write_;  // the next write's plan
    std::string lineBuffer_;
    std::string tailCheck_;

    // Everything above is the caller's while it is inside the library and the thread's while it
    // ends a transfer; this lock keeps them apart. The exported calls are serialised above it.
    std::mutex mutex_;
    std::condition_variable wake_;  // the thread: a transfer opened, or the design lets go
    TransferTimer transfer_;
    bool stopping_ = false;
    std::thread worker_;
};

// The thread waits for the open transfer to end and closes its footprint.
void FileDesign::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (transfer_.due(TransferTimer::Clock::now()) == TransferTimer::Action::kEndTransfer) {
            endTransfer();
            // With the same checks as a line. A board that cannot take the closing now gets it
            // with the next write: the next line's, or the close's.
            if (makeCurrent() == status::kOk && placed_.hasWrites()) {
                static_cast<void>(writeItems(nullptr));
            }
            continue;
        }
        sleepUntilDue(transfer_, wake_, lock);
    }
}

void FileDesign::stopWorker() {
    {
        const std::lock_guard<std::mutex> guard(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    if (worker_.joinable()) worker_.join();
}

// Mutex held.
void FileDesign::endTransfer() {
    transfer_.transferEnded();
    placed_.endTransfer();
}

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
    if (mustReread_ || info.st_size != insertOffset_ + static_cast<off_t>(expected.size())) {
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
    std::string text;
    if (!readWhole(fd_, text)) return status::kUnableToOpenFile;
    const BoardOutline outline = readBoardOutline(text);
    const DbxStatusCode read = statusOf(outline);
    if (read != status::kOk) return read;
    adopt(outline, text);
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
    adopt(file.outline, file.text);
    mustReread_ = false;
    return status::kOk;
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
    insertOffset_ += itemsLength;
    footprintOpen_ = leftOpen;
    tailIsOurs_ = true;
    placed_.written(write);
    return status::kOk;
}

DbxStatusCode FileDesign::placeLine(const LineRecord& line) {
    const std::lock_guard<std::mutex> guard(mutex_);
    const bool wasOpen = transfer_.transferOpen();
    const DbxStatusCode written = placeLocked(line);
    // Every call, refused or not, keeps the transfer going: only the time away from the library
    // counts towards its end.
    transfer_.callerLeft(TransferTimer::Clock::now());
    if (!wasOpen && transfer_.transferOpen()) wake_.notify_one();
    return written;
}

DbxStatusCode FileDesign::placeLocked(const LineRecord& line) {
    const DbxStatusCode current = makeCurrent();
    if (current != status::kOk) return current;
    const auto layer = static_cast<std::size_t>(line.layerId) - 1;
    if (!layerListed_[layer]) return status::kLayerNotFound;

    Line placed;
    uuids_.next(placed.uuid);
    // KiCad's y axis points down, the board's up.
    placed.geometry = {line.startX, -static_cast<std::int64_t>(line.startY), line.endX,
                       -static_cast<std::int64_t>(line.endY), line.width};
    placed.layer = layer;
    const DbxStatusCode written = writeItems(&placed);
    if (written != status::kOk) return written;
    // Written at once: nothing waits to be sent.
    transfer_.lineQueued();
    transfer_.batchSent();
    return status::kOk;
}

DbxStatusCode FileDesign::close() {
    stopWorker();
    const std::lock_guard<std::mutex> guard(mutex_);
    // The open transfer ends here. Its footprint's closing, and what a save by another program
    // since the last write dropped, go in before the board is let go, and the close says so when
    // they cannot.
    if (transfer_.transferOpen()) endTransfer();
    DbxStatusCode result = status::kOk;
    if (makeCurrent() != status::kOk ||
        (placed_.hasWrites() && writeItems(nullptr) != status::kOk)) {
        result = status::kDisconnectError;
    }
    if (::fsync(fd_) != 0) result = status::kDisconnectError;
    // Closing the descriptor also releases the lock.
    if (::close(fd_) != 0 && result == status::kOk) result = status::kDisconnectError;
    fd_ = -1;
    return result;
}

}  // namespace

DbxStatusCode openFileDesign(const char* path, bool createDefault,
                             std::unique_ptr<Design>& design) {
    if (createDefault && !ensureDefaultBoard(path)) return status::kUnableToOpenFile;

    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    if (error) return status::kUnableToOpenFile;

    BoardFile file;
    const DbxStatusCode opened = openBoardFile(absolute.c_str(), file);
    if (opened != status::kOk) return opened;
    try {
        design = std::make_unique<FileDesign>(absolute.string(), file);
    } catch (...) {
        ::close(file.fd);
        throw;
    }
    return status::kOk;
}

}  // namespace bitlay::kicad
