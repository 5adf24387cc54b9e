#pragma once

// The design over a board file, shared by the two files that make it: file_design.cpp (its
// thread, its calls) and board_sync.cpp (keeping in step with the board on disk, and writing).

#include <sys/stat.h>

#include <string>
#include <string_view>
#include <vector>

#include "dbx-kicad/design.h"
#include "dbx-kicad/file/board_end.h"
#include "dbx-kicad/file/board_file.h"
#include "dbx-kicad/file/board_watch.h"
#include "dbx-kicad/file/file_design.h"
#include "dbx-kicad/file/footprint_writer.h"
#include "dbx-kicad/file/placed_footprints.h"
#include "dbx-kicad/kicad_text/uuids.h"
#include "dbx-kicad/sender_loop.h"
#include "dbx-kicad/unique_fd.h"

namespace bitlay::kicad {

// Every line goes into the file at once, inside its transfer's footprint, which stands open in
// the board while the transfer goes on. The design's thread closes the footprint once the
// transfer is over (the caller has been away for a while; DBX has no call that ends a transfer),
// or the close when it comes first.
class FileDesign final : public Design, private SenderLoop::Steps {
  public:
    FileDesign(std::string path, BoardFile file, const FileDesignOptions& options);
    ~FileDesign() override;

    DbxStatusCode placeLine(const BoardLine& line) override;
    DbxStatusCode close() override;

  private:
    using Line = PlacedFootprints::Line;
    using Write = PlacedFootprints::Write;

    // A layer as listed at attach: layer ids keep their meaning for the whole attachment.
    struct Layer {
        std::string canonicalName;
        std::string quotedName;
        bool listed = false;  // still listed in the board as last read
    };

    bool workDue(std::unique_lock<std::mutex>&) override { return false; }
    void endTransfer(std::unique_lock<std::mutex>& lock) override;

    DbxStatusCode placeLocked(const BoardLine& line);
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
    const FileDesignOptions options_;
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

    // Everything above is the caller's while it is inside the library and the thread's while it
    // ends a transfer; the loop's lock keeps them apart. The exported calls are serialised above
    // it.
    SenderLoop loop_;
};

}  // namespace bitlay::kicad
