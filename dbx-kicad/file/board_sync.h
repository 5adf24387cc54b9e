#pragma once

// A board file attached to the design, kept in step with the board on disk while lines go into
// it. Another program may save the board meanwhile (KiCad saving it as it had it open, written
// in place or under another name and renamed over it) or take it away. Before each write the file
// is looked at, or the kernel's events on it stand in for the look; a board saved by someone else
// is read again, and what that save dropped of the lines placed so far goes in again. Every write
// goes where the board's tail stood and writes the tail after it, so the board on disk always
// reads whole.

#include <sys/stat.h>

#include <string>
#include <string_view>
#include <vector>

#include "dbx-kicad/design.h"
#include "dbx-kicad/file/board_end.h"
#include "dbx-kicad/file/board_file.h"
#include "dbx-kicad/file/board_watch.h"
#include "dbx-kicad/file/footprint_writer.h"
#include "dbx-kicad/file/placed_footprints.h"
#include "dbx-kicad/kicad_text/uuids.h"
#include "dbx-kicad/unique_fd.h"

namespace bitlay::kicad {

// Each transfer is one footprint, opened in the board by its first line, standing open there
// (its closing part of the file's tail) while the transfer goes on, and closed once it ends.
// The caller serialises all calls.
class BoardSync final {
  public:
    // Takes over `file`, just opened, locked and read at `path` (absolute). With `watchFile`, the
    // kernel's events on the file and its name may stand in for a look at the file before each
    // write.
    BoardSync(std::string path, BoardFile file, bool watchFile);
    ~BoardSync();
    BoardSync(const BoardSync&) = delete;
    BoardSync& operator=(const BoardSync&) = delete;

    // Writes `line` (on a layer listed at attach) into the open transfer's footprint, or into a
    // new one that begins a transfer, together with whatever waits; nothing when the board on
    // disk cannot take it, and the status says why.
    DbxStatusCode placeLine(const BoardLine& line);

    // The open transfer is over: its footprint closes now, with the same checks as a line, or,
    // when the board cannot take that now, with the next write.
    void endTransfer();

    // Writes what still waits (a footprint's closing, what another program's save dropped),
    // flushes the file and lets it go, its lock with it. 32002 unless all of that succeeded.
    DbxStatusCode close();

  private:
    using Line = PlacedFootprints::Line;
    using Write = PlacedFootprints::Write;

    // A layer as listed at attach: layer ids keep their meaning for the whole attachment.
    struct Layer {
        std::string canonicalName;
        std::string quotedName;
        bool listed = false;  // still listed in the board as last read
    };

    void adopt(const BoardOutline& outline, std::string_view text);
    void watch();
    DbxStatusCode writeItems(const Line* line);
    void writeParts(const Write& write, const Line* line);
    DbxStatusCode makeCurrent();
    // Without the change time when this library's own is unknown.
    DbxStatusCode lookAtTheFile(bool byChangeTime = true);
    DbxStatusCode checkTheEnd();
    DbxStatusCode reread();
    DbxStatusCode reattach();
    void noteChange() noexcept;

    const std::string path_;  // absolute, so that a change of working directory does not matter
    const bool watchFile_;
    UniqueFd fd_;
    FileIdentity identity_;
    // Without a watch: the file's change time when this library last read or wrote it. Any other
    // write since gives it another (to the clock's resolution; with the same size and end, a save
    // within the same tick of a coarse clock goes unseen).
    struct timespec changed_{};
    BoardWatch watch_;
    std::vector<Layer> layers_;
    BoardEnd end_;
    FootprintWriter writer_{FootprintSyntax::kKicad6};
    bool mustReread_ = false;  // the file's state is unknown: read it before any write
    std::string tailCheck_;

    UuidGenerator uuids_;
    // Every line placed while attached and its footprint, so that a save by another program that
    // drops some of them (an editor saving the board as it had it open) does not lose them.
    PlacedFootprints placed_{uuids_};
    Write write_;  // the next write's plan
};

}  // namespace bitlay::kicad
