#include "dbx-kicad/file/file_design.h"

#include <filesystem>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "dbx-kicad/file/board_file.h"
#include "dbx-kicad/file/board_sync.h"
#include "dbx-kicad/sender_loop.h"
#include "dbx-kicad/status.h"

namespace bitlay::kicad {
namespace {

// Every line goes into the file at once, inside its transfer's footprint, which stands open in
// the board while the transfer goes on. The design's thread closes the footprint once the
// transfer is over (the caller has been away for a while; DBX has no call that ends a transfer),
// or the close when it comes first.
class FileDesign final : public Design, private SenderLoop::Steps {
  public:
    FileDesign(std::vector<LayerName> names, std::string path, BoardFile file,
               const FileDesignOptions& options)
        : board_(std::move(path), std::move(file), options.watchFile),
          loop_(options.quietBeforeEnd) {
        layerNames_ = std::move(names);
        loop_.start(*this);
    }

    ~FileDesign() override { loop_.stop(std::chrono::milliseconds::max()); }

    DbxStatusCode placeLine(const BoardLine& line) override {
        const std::lock_guard<std::mutex> guard(loop_.mutex());
        TransferTimer& timer = loop_.timer();
        const bool wasOpen = timer.transferOpen();
        const DbxStatusCode written = board_.placeLine(line);
        if (written == status::kOk) timer.lineAdded();
        // Every call, refused or not, keeps the transfer going: only the time away from the
        // library counts towards its end.
        loop_.callerLeft();
        if (!wasOpen && timer.transferOpen()) loop_.wake();
        return written;
    }

    DbxStatusCode close() override {
        // The open transfer ends here, on the thread, as its last work.
        loop_.stop(std::chrono::milliseconds::max());
        const std::lock_guard<std::mutex> guard(loop_.mutex());
        // Its footprint's closing, and what a save by another program since the last write
        // dropped, go in before the board is let go, and the close says so when they cannot.
        return board_.close();
    }

  private:
    bool workDue(std::unique_lock<std::mutex>&) override { return false; }

    // The thread, lock held: the transfer is over, its footprint closes. A board that cannot
    // take the closing now gets it with the next write: the next line's, or the close's.
    void endTransfer(std::unique_lock<std::mutex>&) override { board_.endTransfer(); }

    // The caller's while it is inside the library and the thread's while it ends a transfer; the
    // loop's lock keeps them apart. The exported calls are serialised above it.
    BoardSync board_;
    SenderLoop loop_;
};

}  // namespace

OpenedDesign openFileDesign(const char* path, bool createDefault,
                            const FileDesignOptions& options) {
    if (createDefault && !ensureDefaultBoard(path)) return {status::kUnableToOpenFile, nullptr};

    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    if (error) return {status::kUnableToOpenFile, nullptr};

    BoardFile file = openBoardFile(absolute.c_str());
    if (file.status != status::kOk) return {file.status, nullptr};
    std::vector<LayerName> names;
    for (const BoardLayer& layer : file.outline.layers) {
        names.push_back(makeLayerName(layer.canonicalName, layer.userName));
    }
    return {status::kOk, std::make_unique<FileDesign>(std::move(names), absolute.string(),
                                                      std::move(file), options)};
}

}  // namespace bitlay::kicad
