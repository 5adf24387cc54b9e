#include "dbx-kicad/file/file_design.h"

#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <utility>

#include "dbx-kicad/file/file_design_impl.h"
#include "dbx-kicad/status.h"

namespace bitlay::kicad {

// The thread waits for the open transfer to end and closes its footprint.
void FileDesign::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (transfer_.due(TransferTimer::Clock::now()) == TransferTimer::Action::kEndTransfer) {
            endTransfer();
            // With the same checks as a line. A board that cannot take the closing now gets it
            // with the next write: the next line's, or the close's.
            if (makeCurrent() == status::kOk && placed_.hasWrites()) {
                static_cast<void>(writeItems(nullptr));
            }
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

// Mutex held.
void FileDesign::endTransfer() {
    transfer_.transferEnded();
    placed_.endTransfer();
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

    Line placed;
    uuids_.next(placed.uuid);
    // KiCad's y axis points down, the board's up.
    placed.geometry = {line.startX, -static_cast<std::int64_t>(line.startY), line.endX,
                       -static_cast<std::int64_t>(line.endY), line.width};
    placed.layer = layer;
    const DbxStatusCode written = writeItems(&placed);
    if (written != status::kOk) return written;
    // Written at once: nothing waits to be sent.
    transfer_.lineQueued();
    transfer_.batchSent();
    return status::kOk;
}

DbxStatusCode FileDesign::close() {
    stopWorker();
    const std::lock_guard<std::mutex> guard(mutex_);
    // The open transfer ends here. Its footprint's closing, and what a save by another program
    // since the last write dropped, go in before the board is let go, and the close says so when
    // they cannot.
    if (transfer_.transferOpen()) endTransfer();
    DbxStatusCode result = status::kOk;
    if (makeCurrent() != status::kOk ||
        (placed_.hasWrites() && writeItems(nullptr) != status::kOk)) {
        result = status::kDisconnectError;
    }
    if (::fsync(fd_) != 0) result = status::kDisconnectError;
    // Closing the descriptor also releases the lock.
    if (::close(fd_) != 0 && result == status::kOk) result = status::kDisconnectError;
    fd_ = -1;
    return result;
}

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
