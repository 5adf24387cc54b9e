#include "dbx-kicad/file/file_design.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "dbx-kicad/file/board_text.h"
#include "dbx-kicad/status.h"

namespace bitlay::kicad {
namespace {

bool writeAll(int fd, const char* data, std::size_t size, off_t offset) noexcept {
    while (size > 0) {
        const ssize_t written = ::pwrite(fd, data, size, offset);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (written == 0) return false;
        data += written;
        size -= static_cast<std::size_t>(written);
        offset += written;
    }
    return true;
}

// Creates the default board under `path` unless a file is there already. It is written under a
// temporary name and linked into place, so no reader ever sees half a board.
bool ensureDefaultBoard(const char* path) {
    struct stat info {};
    if (::stat(path, &info) == 0) return true;
    if (errno != ENOENT) return false;

    const std::string_view board = defaultBoardText();
    std::string temporary = std::string(path) + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) return false;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    bool ok = ::fchmod(fd, 0666 & ~mask) == 0 && writeAll(fd, board.data(), board.size(), 0) &&
              ::fsync(fd) == 0;
    ::close(fd);
    if (ok && ::link(temporary.c_str(), path) != 0 && errno != EEXIST) ok = false;
    ::unlink(temporary.c_str());
    if (ok) {
        // Make the new directory entry durable as well.
        const int dir = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
    }
    return ok;
}

struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileIdentity& other) const noexcept {
        return device == other.device && inode == other.inode;
    }
};

FileIdentity identityOf(const struct stat& info) noexcept { return {info.st_dev, info.st_ino}; }

// Every board file attached in this process. The file lock alone cannot refuse a second attach
// from within the same process on every platform. Guarded by the caller's serialisation.
std::vector<FileIdentity>& attachedFiles() {
    static std::vector<FileIdentity> files;
    return files;
}

bool attachedHere(const FileIdentity& identity) {
    const auto& files = attachedFiles();
    return std::find(files.begin(), files.end(), identity) != files.end();
}

// Reads the whole file from its start, whatever the descriptor's position.
bool readWhole(int fd, std::string& text) {
    text.clear();
    char chunk[1 << 16];
    off_t offset = 0;
    for (;;) {
        const ssize_t got = ::pread(fd, chunk, sizeof chunk, offset);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (got == 0) return true;
        text.append(chunk, static_cast<std::size_t>(got));
        offset += got;
    }
}

DbxStatusCode statusOf(const BoardOutline& outline) noexcept {
    switch (outline.result) {
        case BoardReadResult::kOk:
            return status::kOk;
        case BoardReadResult::kTooNew:
            return status::kVersionIncompatible;
        default:
            return status::kBadServerData;
    }
}

// A board file just opened, locked and read.
struct BoardFile {
    int fd = -1;
    FileIdentity identity;
    std::string text;
    BoardOutline outline;
};

// Opens, locks and reads the board file at `path`. On success `file.fd` is the locked descriptor.
DbxStatusCode openBoardFile(const char* path, BoardFile& file) {
    // Every placed line reads back the end of the file; without O_NOATIME each of those reads
    // would also write the access time. Only the file's owner may ask for it.
    int opened = ::open(path, O_RDWR | O_CLOEXEC | O_NOATIME);
    if (opened < 0 && errno == EPERM) opened = ::open(path, O_RDWR | O_CLOEXEC);
    if (opened < 0) return status::kUnableToOpenFile;
    struct FdCloser {
        int fd;
        bool keep = false;
        ~FdCloser() {
            if (!keep) ::close(fd);
        }
    } closer{opened};

    struct stat info {};
    if (::fstat(opened, &info) != 0 || !S_ISREG(info.st_mode)) return status::kUnableToOpenFile;
    file.identity = identityOf(info);
    if (attachedHere(file.identity)) return status::kServerBusy;
    if (::flock(opened, LOCK_EX | LOCK_NB) != 0) {
        return errno == EWOULDBLOCK ? status::kServerBusy : status::kUnableToOpenFile;
    }
    if (!readWhole(opened, file.text)) return status::kUnableToOpenFile;
    file.outline = readBoardOutline(file.text);
    const DbxStatusCode read = statusOf(file.outline);
    if (read != status::kOk) return read;
    file.fd = opened;
    closer.keep = true;
    return status::kOk;
}

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
        attachedFiles().push_back(identity_);
    }

    ~FileDesign() override {
        if (fd_ >= 0) ::close(fd_);
        auto& files = attachedFiles();
        files.erase(std::remove(files.begin(), files.end(), identity_), files.end());
    }

    DbxStatusCode placeLine(const LineRecord& line) override;
    DbxStatusCode close() override;

  private:
    void adopt(const BoardOutline& outline, std::string_view text);
    void findDroppedLines(std::string_view text);
    char* appendItem(char* out, const GrLineGeometry& geometry, std::size_t layer,
                     const char* uuid) noexcept;
    struct PlacedLine;
    DbxStatusCode writeItems(const PlacedLine* line);
    DbxStatusCode makeCurrent();
    DbxStatusCode reread();
    DbxStatusCode reattach();
    std::string_view expectedTail() const noexcept { return tailIsOurs_ ? tail_ : foundTail_; }

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
    // the end of the file is the tail.
    LineSyntax syntax_ = LineSyntax::kKicad6;
    off_t insertOffset_ = 0;
    std::string tail_;       // written after every item
    std::string foundTail_;  // the tail as read, until the first item replaces it with tail_
    bool tailIsOurs_ = false;
    bool needsLineBreak_ = false;  // the first item goes on a line of its own
    bool mustReread_ = false;      // the file's state is unknown: read it before any write

    // Every line placed while attached, so that a save by another program that drops some of
    // them (an editor saving the board as it had it open) does not lose them: they go in again.
    struct PlacedLine {
        GrLineGeometry geometry;
        std::size_t layer = 0;
        char uuid[kUuidLength] = {};
    };
    std::vector<PlacedLine> placed_;
    std::vector<std::size_t> dropped_;  // indexes into placed_, in the order they were placed

    UuidGenerator uuids_;
    std::string lineBuffer_;
    std::string tailCheck_;
};

// Takes the board as just read as the state of the file, and finds the placed lines it lacks.
void FileDesign::adopt(const BoardOutline& outline, std::string_view text) {
    syntax_ = lineSyntaxFor(outline.version);
    insertOffset_ = static_cast<off_t>(outline.insertOffset);
    foundTail_.assign(text.substr(outline.insertOffset));
    if (outline.insertOffset == outline.closingOffset) {
        tail_ = ")\n";
        needsLineBreak_ = outline.closingOffset > 0 && text[outline.closingOffset - 1] != '\n';
    } else {
        tail_ = foundTail_;
        needsLineBreak_ = false;
    }
    tailIsOurs_ = false;
    layerListed_.assign(canonicalNames_.size(), false);
    for (std::size_t i = 0; i < canonicalNames_.size(); ++i) {
        for (const BoardLayer& layer : outline.layers) {
            if (layer.canonicalName == canonicalNames_[i]) {
                layerListed_[i] = true;
                break;
            }
        }
    }
    findDroppedLines(text);
}

// Makes sure the file at the path is still the one attached and still ends as this library left
// it; when another program has saved the board meanwhile, takes the board as it now is.
DbxStatusCode FileDesign::makeCurrent() {
    struct stat info {};
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
    auto& files = attachedFiles();
    std::replace(files.begin(), files.end(), identity_, file.identity);
    identity_ = file.identity;
    adopt(file.outline, file.text);
    mustReread_ = false;
    return status::kOk;
}

// The lines placed earlier that the board as now read no longer holds.
void FileDesign::findDroppedLines(std::string_view text) {
    dropped_.clear();
    if (placed_.empty()) return;
    const std::vector<std::string_view> found = uuidsIn(text);
    const std::unordered_set<std::string_view> present(found.begin(), found.end());
    for (std::size_t i = 0; i < placed_.size(); ++i) {
        if (present.count(std::string_view(placed_[i].uuid, kUuidLength)) == 0) {
            dropped_.push_back(i);
        }
    }
}

char* FileDesign::appendItem(char* out, const GrLineGeometry& geometry, std::size_t layer,
                             const char* uuid) noexcept {
    if (needsLineBreak_) {
        *out++ = '\n';
        needsLineBreak_ = false;
    }
    return out + appendGrLine(out, syntax_, geometry, quotedLayers_[layer], uuid);
}

// Writes the lines another program's save dropped, then `line` when there is one, in one write
// where the tail stood, and the tail after them.
DbxStatusCode FileDesign::writeItems(const PlacedLine* line) {
    for (const std::size_t i : dropped_) {
        // The board as another program saved it may no longer list the layer.
        if (!layerListed_[placed_[i].layer]) return status::kLayerNotFound;
    }
    const std::size_t items = dropped_.size() + (line != nullptr ? 1 : 0);
    lineBuffer_.resize(items * (1 + kGrLineRoom + longestLayer_) + tail_.size());
    const bool lineBreakBefore = needsLineBreak_;
    char* const start = lineBuffer_.data();
    char* p = start;
    for (const std::size_t i : dropped_) {
        p = appendItem(p, placed_[i].geometry, placed_[i].layer, placed_[i].uuid);
    }
    if (line != nullptr) p = appendItem(p, line->geometry, line->layer, line->uuid);
    const auto itemsLength = static_cast<off_t>(p - start);
    std::memcpy(p, tail_.data(), tail_.size());
    p += tail_.size();
    const auto length = static_cast<std::size_t>(p - start);
    const off_t previousEnd = insertOffset_ + static_cast<off_t>(expectedTail().size());

    if (!writeAll(fd_, start, length, insertOffset_)) {
        // Put the tail back so the board stays readable, whatever part of the items landed, and
        // read the file again before the next write.
        if (writeAll(fd_, tail_.data(), tail_.size(), insertOffset_)) {
            static_cast<void>(::ftruncate(fd_, insertOffset_ + static_cast<off_t>(tail_.size())));
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
    tailIsOurs_ = true;
    dropped_.clear();
    return status::kOk;
}

DbxStatusCode FileDesign::placeLine(const LineRecord& line) {
    const DbxStatusCode current = makeCurrent();
    if (current != status::kOk) return current;
    const auto layer = static_cast<std::size_t>(line.layerId) - 1;
    if (!layerListed_[layer]) return status::kLayerNotFound;

    PlacedLine placed;
    uuids_.next(placed.uuid);
    // KiCad's y axis points down, the board's up.
    placed.geometry = {line.startX, -static_cast<std::int64_t>(line.startY), line.endX,
                       -static_cast<std::int64_t>(line.endY), line.width};
    placed.layer = layer;
    const DbxStatusCode written = writeItems(&placed);
    if (written == status::kOk) placed_.push_back(placed);
    return written;
}

DbxStatusCode FileDesign::close() {
    DbxStatusCode result = status::kOk;
    // A save by another program since the last line may have dropped placed lines: they go in
    // again before the board is let go, and the close says so when they cannot.
    if (makeCurrent() != status::kOk || (!dropped_.empty() && writeItems(nullptr) != status::kOk)) {
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
