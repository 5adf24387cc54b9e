#include "dbx-kicad/file/file_design.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
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

#include "dbx-kicad/file/board_text.h"
#include "dbx-kicad/status.h"
#include "dbx-kicad/transfer_timer.h"

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
// from within the same process on every platform. A design's thread follows a board renamed over
// its file while no call is in the library, so the list has a lock of its own.
struct AttachedFiles {
    std::mutex mutex;
    std::vector<FileIdentity> files;
};

AttachedFiles& attachedFiles() {
    static AttachedFiles attached;
    return attached;
}

bool attachedHere(const FileIdentity& identity) {
    AttachedFiles& attached = attachedFiles();
    const std::lock_guard<std::mutex> guard(attached.mutex);
    return std::find(attached.files.begin(), attached.files.end(), identity) !=
           attached.files.end();
}

void addAttached(const FileIdentity& identity) {
    AttachedFiles& attached = attachedFiles();
    const std::lock_guard<std::mutex> guard(attached.mutex);
    attached.files.push_back(identity);
}

void replaceAttached(const FileIdentity& from, const FileIdentity& to) {
    AttachedFiles& attached = attachedFiles();
    const std::lock_guard<std::mutex> guard(attached.mutex);
    std::replace(attached.files.begin(), attached.files.end(), from, to);
}

void removeAttached(const FileIdentity& identity) {
    AttachedFiles& attached = attachedFiles();
    const std::lock_guard<std::mutex> guard(attached.mutex);
    attached.files.erase(std::remove(attached.files.begin(), attached.files.end(), identity),
                         attached.files.end());
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

// Every line goes into the file at once. The lines of one transfer are also bound into one group,
// whose form a thread of the design writes once the transfer is over (the caller has been away
// for a while; DBX has no call that ends a transfer), or the close when it comes first.
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
    void run();
    void stopWorker();
    void endTransfer();
    DbxStatusCode placeLocked(const LineRecord& line);
    void adopt(const BoardOutline& outline, std::string_view text);
    void findDroppedItems(std::string_view text);
    char* startItem(char* out) noexcept;
    bool hasItemsToWrite() const noexcept { return !dropped_.empty() || !groupsToWrite_.empty(); }
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
    std::int64_t version_ = 0;
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

    // Every transfer that ended while attached: its lines are placed_[first, first + count).
    struct PlacedGroup {
        char uuid[kUuidLength] = {};
        std::size_t first = 0;
        std::size_t count = 0;
    };
    std::vector<PlacedGroup> groups_;
    // Indexes into groups_ of the groups whose form the file lacks: a transfer that ended since
    // the last write, or a group another program's save dropped. Each goes in after its lines.
    std::vector<std::size_t> groupsToWrite_;

    UuidGenerator uuids_;
    std::string lineBuffer_;
    std::string tailCheck_;
    std::vector<const char*> members_;

    // Everything above is the caller's while it is inside the library and the thread's while it
    // writes a group; this lock keeps them apart. The exported calls are serialised above it.
    std::mutex mutex_;
    std::condition_variable wake_;  // the thread: a transfer opened, or the design lets go
    TransferTimer transfer_;
    std::size_t transferFirst_ = 0;  // the open transfer's first line in placed_
    bool stopping_ = false;
    std::thread worker_;
};

// The thread waits for the open transfer to end and writes its group.
void FileDesign::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (transfer_.due(TransferTimer::Clock::now()) == TransferTimer::Action::kEndTransfer) {
            endTransfer();
            // With the same checks as a line. A board that cannot take the group now gets it
            // with the next write: the next line's, or the close's.
            if (makeCurrent() == status::kOk) static_cast<void>(writeItems(nullptr));
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

// Mutex held. The open transfer's lines become a group, to be written with the next write.
void FileDesign::endTransfer() {
    PlacedGroup group;
    uuids_.next(group.uuid);
    group.first = transferFirst_;
    group.count = placed_.size() - transferFirst_;
    transfer_.transferEnded();
    if (group.count == 0) return;
    groups_.push_back(group);
    groupsToWrite_.push_back(groups_.size() - 1);
}

// Takes the board as just read as the state of the file, and finds the placed lines it lacks.
void FileDesign::adopt(const BoardOutline& outline, std::string_view text) {
    version_ = outline.version;
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
    findDroppedItems(text);
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
    replaceAttached(identity_, file.identity);
    identity_ = file.identity;
    adopt(file.outline, file.text);
    mustReread_ = false;
    return status::kOk;
}

// The lines and groups placed earlier that the board as now read no longer holds (by the UUID
// an item carries as its own: a group naming a line does not make the line present), and the
// groups not written yet.
void FileDesign::findDroppedItems(std::string_view text) {
    dropped_.clear();
    groupsToWrite_.clear();
    if (placed_.empty()) return;
    const std::vector<std::string_view> found = itemUuidsIn(text);
    const std::unordered_set<std::string_view> present(found.begin(), found.end());
    for (std::size_t i = 0; i < placed_.size(); ++i) {
        if (present.count(std::string_view(placed_[i].uuid, kUuidLength)) == 0) {
            dropped_.push_back(i);
        }
    }
    for (std::size_t i = 0; i < groups_.size(); ++i) {
        if (present.count(std::string_view(groups_[i].uuid, kUuidLength)) == 0) {
            groupsToWrite_.push_back(i);
        }
    }
}

char* FileDesign::startItem(char* out) noexcept {
    if (needsLineBreak_) {
        *out++ = '\n';
        needsLineBreak_ = false;
    }
    return out;
}

// Writes the lines another program's save dropped, then the groups the file lacks, then `line`
// when there is one, in one write where the tail stood, and the tail after them. A group only
// ever goes in with all its lines: while one of them cannot (its layer is gone), nothing does.
DbxStatusCode FileDesign::writeItems(const PlacedLine* line) {
    for (const std::size_t i : dropped_) {
        // The board as another program saved it may no longer list the layer.
        if (!layerListed_[placed_[i].layer]) return status::kLayerNotFound;
    }
    const std::size_t items = dropped_.size() + (line != nullptr ? 1 : 0);
    std::size_t room = items * (1 + kGrLineRoom + longestLayer_) + tail_.size();
    std::vector<std::string> names;
    names.reserve(groupsToWrite_.size());
    for (const std::size_t g : groupsToWrite_) {
        names.push_back(quoteKicadString(transferName(groups_[g].count)));
        room += 1 + groupRoom(groups_[g].count) + names.back().size();
    }
    lineBuffer_.resize(room);
    const bool lineBreakBefore = needsLineBreak_;
    char* const start = lineBuffer_.data();
    char* p = start;
    for (const std::size_t i : dropped_) {
        p = startItem(p);
        p += appendGrLine(p, syntax_, placed_[i].geometry, quotedLayers_[placed_[i].layer],
                          placed_[i].uuid);
    }
    const GroupSyntax groupSyntax = groupSyntaxFor(version_);
    for (std::size_t k = 0; k < groupsToWrite_.size(); ++k) {
        const PlacedGroup& group = groups_[groupsToWrite_[k]];
        members_.clear();
        for (std::size_t i = group.first; i < group.first + group.count; ++i) {
            members_.push_back(placed_[i].uuid);
        }
        p = startItem(p);
        p += appendGroup(p, groupSyntax, names[k], group.uuid, members_);
    }
    if (line != nullptr) {
        p = startItem(p);
        p += appendGrLine(p, syntax_, line->geometry, quotedLayers_[line->layer], line->uuid);
    }
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
    groupsToWrite_.clear();
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

    PlacedLine placed;
    uuids_.next(placed.uuid);
    // KiCad's y axis points down, the board's up.
    placed.geometry = {line.startX, -static_cast<std::int64_t>(line.startY), line.endX,
                       -static_cast<std::int64_t>(line.endY), line.width};
    placed.layer = layer;
    const DbxStatusCode written = writeItems(&placed);
    if (written != status::kOk) return written;
    if (!transfer_.transferOpen()) transferFirst_ = placed_.size();
    placed_.push_back(placed);
    // Written at once: nothing waits to be sent.
    transfer_.lineQueued();
    transfer_.batchSent();
    return status::kOk;
}

DbxStatusCode FileDesign::close() {
    stopWorker();
    const std::lock_guard<std::mutex> guard(mutex_);
    // The open transfer ends here. Its group, a group not written yet, and what a save by another
    // program since the last write dropped go in before the board is let go, and the close says
    // so when they cannot.
    if (transfer_.transferOpen()) endTransfer();
    DbxStatusCode result = status::kOk;
    if (makeCurrent() != status::kOk || (hasItemsToWrite() && writeItems(nullptr) != status::kOk)) {
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
