#include "dbx-kicad/file_design.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "dbx-kicad/board_text.h"
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

bool readAll(int fd, std::string& text) {
    text.clear();
    char chunk[1 << 16];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (got == 0) return true;
        text.append(chunk, static_cast<std::size_t>(got));
    }
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

template <std::size_t N>
char* appendText(char* p, const char (&text)[N]) noexcept {
    std::memcpy(p, text, N - 1);
    return p + (N - 1);
}

struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileIdentity& other) const noexcept {
        return device == other.device && inode == other.inode;
    }
};

// Every board file attached in this process. The file lock alone cannot refuse a second attach
// from within the same process on every platform. Guarded by the caller's serialisation.
std::vector<FileIdentity>& attachedFiles() {
    static std::vector<FileIdentity> files;
    return files;
}

class FileDesign final : public Design {
  public:
    FileDesign(int fd, FileIdentity identity, const BoardOutline& outline, std::string_view text)
        : fd_(fd), identity_(identity) {
        closingOffset_ = static_cast<off_t>(outline.closingOffset);
        fileSize_ = static_cast<off_t>(text.size());
        needsLineBreak_ = outline.closingOffset > 0 && text[outline.closingOffset - 1] != '\n';

        std::size_t longestClause = 0;
        for (const BoardLayer& layer : outline.layers) {
            layerNames_.push_back(makeLayerName(layer.canonicalName, layer.userName));
            std::string clause = ") (layer " + quoteKicadString(layer.canonicalName) + ") (width ";
            longestClause = std::max(longestClause, clause.size());
            layerClauses_.push_back(std::move(clause));
        }
        // Room for the line break, the fixed words, five numbers of at most 16 characters each
        // and the longest layer clause.
        lineBuffer_.resize(256 + longestClause);
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
    int fd_;
    FileIdentity identity_;
    // For each layer: ") (layer \"CANONICAL\") (width ", the part of an item between its
    // coordinates and its width.
    std::vector<std::string> layerClauses_;
    off_t closingOffset_ = 0;  // where the ')' closing (kicad_pcb ...) stands
    off_t fileSize_ = 0;
    bool needsLineBreak_ = false;  // the first item goes on a line of its own
    std::string lineBuffer_;
};

DbxStatusCode FileDesign::placeLine(const LineRecord& line) {
    // KiCad's y axis points down, the board's up.
    const std::string& clause = layerClauses_[static_cast<std::size_t>(line.layerId) - 1];
    char* const start = lineBuffer_.data();
    char* p = start;
    if (needsLineBreak_) *p++ = '\n';
    p = appendText(p, "  (gr_line (start ");
    p += appendMillimetres(p, line.startX);
    *p++ = ' ';
    p += appendMillimetres(p, -static_cast<std::int64_t>(line.startY));
    p = appendText(p, ") (end ");
    p += appendMillimetres(p, line.endX);
    *p++ = ' ';
    p += appendMillimetres(p, -static_cast<std::int64_t>(line.endY));
    std::memcpy(p, clause.data(), clause.size());
    p += clause.size();
    p += appendMillimetres(p, line.width);
    p = appendText(p, "))\n)\n");
    const auto length = static_cast<std::size_t>(p - start);

    // One write puts the item where the closing parenthesis stood and the parenthesis after it.
    if (!writeAll(fd_, start, length, closingOffset_)) {
        // Put the closing back so the board stays readable, whatever part of the item landed.
        writeAll(fd_, ")\n", 2, closingOffset_);
        if (::ftruncate(fd_, closingOffset_ + 2) == 0) fileSize_ = closingOffset_ + 2;
        return status::kDatabaseError;
    }
    const off_t end = closingOffset_ + static_cast<off_t>(length);
    // Only a board whose tail held more white space than one item is long gets shorter; should
    // that fail, the white space left past the end is harmless to a reader.
    if (end < fileSize_) static_cast<void>(::ftruncate(fd_, end));
    fileSize_ = end;
    closingOffset_ = end - 2;
    needsLineBreak_ = false;
    return status::kOk;
}

DbxStatusCode FileDesign::close() {
    DbxStatusCode result = status::kOk;
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

    const int fd = ::open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) return status::kUnableToOpenFile;
    struct FdCloser {
        int fd;
        bool keep = false;
        ~FdCloser() {
            if (!keep) ::close(fd);
        }
    } closer{fd};

    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return status::kUnableToOpenFile;
    const FileIdentity identity{info.st_dev, info.st_ino};
    const auto& files = attachedFiles();
    if (std::find(files.begin(), files.end(), identity) != files.end()) {
        return status::kServerBusy;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        return errno == EWOULDBLOCK ? status::kServerBusy : status::kUnableToOpenFile;
    }

    std::string text;
    if (!readAll(fd, text)) return status::kUnableToOpenFile;
    const BoardOutline outline = readBoardOutline(text);
    if (outline.result == BoardReadResult::kTooNew) return status::kVersionIncompatible;
    if (outline.result != BoardReadResult::kOk) return status::kBadServerData;

    design = std::make_unique<FileDesign>(fd, identity, outline, text);
    closer.keep = true;
    return status::kOk;
}

}  // namespace bitlay::kicad
