#include "dbx-kicad/file/file_design.h"

#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <utility>

#include "dbx-kicad/file/file_design_impl.h"
#include "dbx-kicad/kicad_text/kicad_strings.h"
#include "dbx-kicad/status.h"

namespace bitlay::kicad {

FileDesign::FileDesign(std::string path, BoardFile file, const FileDesignOptions& options)
    : path_(std::move(path)),
      options_(options),
      fd_(std::move(file.fd)),
      identity_(file.identity),
      changed_(file.changed),
      loop_(options.quietBeforeEnd) {
    for (const BoardLayer& layer : file.outline.layers) {
        layerNames_.push_back(makeLayerName(layer.canonicalName, layer.userName));
        layers_.push_back({layer.canonicalName, quoteKicadString(layer.canonicalName), false});
    }
    adopt(file.outline, file.text);
    watch();
    addAttached(identity_);
    loop_.start(*this);
}

FileDesign::~FileDesign() {
    loop_.stop(std::chrono::milliseconds::max());
    removeAttached(identity_);
}

// The thread, lock held: the transfer is over, its footprint closes, with the same checks as a
// line. A board that cannot take the closing now gets it with the next write: the next line's,
// or the close's.
void FileDesign::endTransfer(std::unique_lock<std::mutex>&) {
    placed_.endTransfer();
    if (makeCurrent() == status::kOk && placed_.hasWrites()) {
        static_cast<void>(writeItems(nullptr));
    }
}

DbxStatusCode FileDesign::placeLine(const BoardLine& line) {
    const std::lock_guard<std::mutex> guard(loop_.mutex());
    TransferTimer& timer = loop_.timer();
    const bool wasOpen = timer.transferOpen();
    const DbxStatusCode written = placeLocked(line);
    // Every call, refused or not, keeps the transfer going: only the time away from the library
    // counts towards its end.
    timer.callerLeft(TransferTimer::Clock::now());
    if (!wasOpen && timer.transferOpen()) loop_.wake();
    return written;
}

DbxStatusCode FileDesign::placeLocked(const BoardLine& line) {
    const DbxStatusCode current = makeCurrent();
    if (current != status::kOk) return current;
    if (!layers_[line.layer].listed) return status::kLayerNotFound;

    Line placed;
    placed.uuid = uuids_.next();
    placed.geometry = line;
    const DbxStatusCode written = writeItems(&placed);
    if (written != status::kOk) return written;
    loop_.timer().lineAdded();
    return status::kOk;
}

DbxStatusCode FileDesign::close() {
    // The open transfer ends here, on the thread, as its last work.
    loop_.stop(std::chrono::milliseconds::max());
    const std::lock_guard<std::mutex> guard(loop_.mutex());
    // Its footprint's closing, and what a save by another program since the last write dropped,
    // go in before the board is let go, and the close says so when they cannot.
    DbxStatusCode result = status::kOk;
    if (makeCurrent() != status::kOk ||
        (placed_.hasWrites() && writeItems(nullptr) != status::kOk)) {
        result = status::kDisconnectError;
    }
    if (::fsync(fd_.get()) != 0) result = status::kDisconnectError;
    // Closing the descriptor also releases the lock.
    if (!fd_.close() && result == status::kOk) result = status::kDisconnectError;
    return result;
}

OpenedDesign openFileDesign(const char* path, bool createDefault,
                            const FileDesignOptions& options) {
    if (createDefault && !ensureDefaultBoard(path)) return {status::kUnableToOpenFile, nullptr};

    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    if (error) return {status::kUnableToOpenFile, nullptr};

    BoardFile file;
    const DbxStatusCode opened = openBoardFile(absolute.c_str(), file);
    if (opened != status::kOk) return {opened, nullptr};
    return {status::kOk, std::make_unique<FileDesign>(absolute.string(), std::move(file), options)};
}

}  // namespace bitlay::kicad
