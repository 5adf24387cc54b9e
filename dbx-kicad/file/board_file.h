#pragma once

// A board file on disk: opening, locking and reading it, writing at an offset, and which board
// files this process has attached.

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>

#include "dbx-kicad/design.h"
#include "dbx-kicad/kicad_text/board_outline.h"
#include "dbx-kicad/unique_fd.h"

namespace bitlay::kicad {

// Writes all of `data` at `offset`, going on after short writes and interruptions.
bool writeAll(int fd, const char* data, std::size_t size, off_t offset) noexcept;

// Creates the default board under `path` unless a file is there already. It is written under a
// temporary name and linked into place, so no reader ever sees half a board.
bool ensureDefaultBoard(const char* path);

struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileIdentity& other) const noexcept {
        return device == other.device && inode == other.inode;
    }
};

FileIdentity identityOf(const struct stat& info) noexcept;

// The board files attached in this process. The file lock alone cannot refuse a second attach
// from within the same process on every platform.
void addAttached(const FileIdentity& identity);
void replaceAttached(const FileIdentity& from, const FileIdentity& to);
void removeAttached(const FileIdentity& identity);

// The whole file from its start, whatever the descriptor's position; nothing when it cannot be
// read.
std::optional<std::string> readWhole(int fd);

// The status for a board that read as `outline`.
DbxStatusCode statusOf(const BoardOutline& outline) noexcept;

// A board file just opened, locked and read, or the status that says why not.
struct BoardFile {
    DbxStatusCode status = 0;
    UniqueFd fd;  // holds the lock when `status` is 0
    FileIdentity identity;
    struct timespec changed{};  // its change time before it was read
    std::string text;
    BoardOutline outline;
};

// Opens, locks and reads the board file at `path`.
BoardFile openBoardFile(const char* path);

}  // namespace bitlay::kicad
