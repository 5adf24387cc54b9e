#pragma once

// The design over a board file, shared by the two files that make it: file_design.cpp (its
// thread, its calls) and board_sync.cpp (keeping in step with the board on disk, and writing).

#include <sys/stat.h>

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "dbx-kicad/design.h"
#include "dbx-kicad/file/board_file.h"
#include "dbx-kicad/file/board_text.h"
#include "dbx-kicad/file/footprint_text.h"
#include "dbx-kicad/file/placed_footprints.h"
#include "dbx-kicad/transfer_timer.h"

namespace bitlay::kicad {

// Every line goes into the file at once, inside its transfer's footprint, which stands open in
// the board while the transfer goes on. A thread of the design closes the footprint once the
// transfer is over (the caller has been away for a while; DBX has no call that ends a transfer),
// or the close when it comes first.
class FileDesign final : public Design {
  public:
    FileDesign(std::string path, const BoardFile& file)
        : path_(std::move(path)), fd_(file.fd), identity_(file.identity), changed_(file.changed) {
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
    void noteChange() noexcept;
    std::string_view expectedTail() const noexcept {
        if (!tailIsOurs_) return foundTail_;
        return footprintOpen_ ? openTail_ : tail_;
    }

    std::string path_;  // absolute, so that a change of working directory does not matter
    int fd_;
    FileIdentity identity_;
    // The file's change time when this library last read or wrote it: any other write since
    // gives it another (to the clock's resolution; with the same size and end, a save within the
    // same tick of a coarse clock goes unseen).
    struct timespec changed_;
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

}  // namespace bitlay::kicad
