#include "dbx-kicad/file/board_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dbx-kicad/kicad_text/default_board.h"
#include "dbx-kicad/status.h"

namespace bitlay::kicad {
namespace {

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

}  // namespace

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

bool ensureDefaultBoard(const char* path) {
    struct stat info{};
    if (::stat(path, &info) == 0) return true;
    if (errno != ENOENT) return false;

    const std::string_view board = defaultBoardText();
    std::string temporary = std::string(path) + ".XXXXXX";
    UniqueFd fd(::mkstemp(temporary.data()));
    if (!fd) return false;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    bool ok = ::fchmod(fd.get(), 0666 & ~mask) == 0 &&
              writeAll(fd.get(), board.data(), board.size(), 0) && ::fsync(fd.get()) == 0;
    ok = fd.close() && ok;
    if (ok && ::link(temporary.c_str(), path) != 0 && errno != EEXIST) ok = false;
    ::unlink(temporary.c_str());
    if (ok) {
        // Make the new directory entry durable as well.
        const UniqueFd dir(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dir) ::fsync(dir.get());
    }
    return ok;
}

FileIdentity identityOf(const struct stat& info) noexcept { return {info.st_dev, info.st_ino}; }

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

std::optional<std::string> readWhole(int fd) {
    std::string text;
    char chunk[1 << 16];
    off_t offset = 0;
    for (;;) {
        const ssize_t got = ::pread(fd, chunk, sizeof chunk, offset);
        if (got < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (got == 0) return text;
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

BoardFile openBoardFile(const char* path) {
    const auto refused = [](DbxStatusCode status) {
        BoardFile none;
        none.status = status;
        return none;
    };
    // Every placed line reads back the end of the file; without O_NOATIME each of those reads
    // would also write the access time. Only the file's owner may ask for it.
    UniqueFd fd(::open(path, O_RDWR | O_CLOEXEC | O_NOATIME));
    if (!fd && errno == EPERM) fd.reset(::open(path, O_RDWR | O_CLOEXEC));
    if (!fd) return refused(status::kUnableToOpenFile);

    struct stat info{};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return refused(status::kUnableToOpenFile);
    }
    BoardFile file;
    file.identity = identityOf(info);
    file.changed = info.st_ctim;
    if (attachedHere(file.identity)) return refused(status::kServerBusy);
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        return refused(errno == EWOULDBLOCK ? status::kServerBusy : status::kUnableToOpenFile);
    }
    std::optional<std::string> text = readWhole(fd.get());
    if (!text) return refused(status::kUnableToOpenFile);
    file.text = std::move(*text);
    file.outline = readBoardOutline(file.text);
    const DbxStatusCode read = statusOf(file.outline);
    if (read != status::kOk) return refused(read);
    file.fd = std::move(fd);
    return file;
}

}  // namespace bitlay::kicad
