#pragma once

// Whether another program may have changed the board file since this library last looked, told
// by the kernel's file events (inotify) as they happen, so that a placed line needs no look at
// the file's name, times or size. A change is the file closed after writing, its attributes
// changed, unlinked or renamed (a board saved under another name and renamed over it unlinks this
// one); a file created, renamed or deleted under the board's name in its folder; the folder's own
// move. A program that writes the board in place opens it first: while anyone has it open, the
// board may be changing. This library's own writes give no event.
//
// Not every file system sees every change: one on the network or in user space may be written
// from another machine or process the kernel does not watch. There, and where the kernel gives
// no watch, the watch is inactive and the design looks at the file before every line.

#include <string>

#include "dbx-kicad/unique_fd.h"

namespace bitlay::kicad {

class BoardWatch final {
  public:
    // No watch.
    BoardWatch() noexcept = default;
    // Watches the file open as `fd`, and the name `path` in its folder.
    BoardWatch(int fd, const std::string& path);

    bool active() const noexcept { return static_cast<bool>(events_); }

    enum class Seen {
        kNothing,  // no change since the last look, and nobody else has the file open
        kOpen,     // no change seen, but somebody else has the file open: it may be writing
        kChange,   // a change since the last look
    };

    // What happened to the board since the last look; kChange when the watch is inactive.
    Seen look();

  private:
    // Reads the events waiting; true when one of them is a change.
    bool readEvents();

    UniqueFd events_;
    int fileWatch_ = -1;
    int folderWatch_ = -1;
    std::string name_;
    long openElsewhere_ = 0;  // opened, not yet closed
};

}  // namespace bitlay::kicad
