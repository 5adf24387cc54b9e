// The stand-in for the PCB editor's DBX library: the "open design" is a KiCad 6 board file, and
// every placed line is appended to it as a (gr_line ...) item right away.

#include "dbx-kicad/dbx32.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "dbx-kicad/board_text.h"

using bitlay::dbx::DbxStatusCode;
using bitlay::dbx::DesignContext;
using bitlay::dbx::LayerRecord8;
using bitlay::dbx::LineRecord;

namespace bitlay::kicad {
namespace {

namespace status {
constexpr DbxStatusCode kOk = 0;
constexpr DbxStatusCode kDisconnectError = 32002;
constexpr DbxStatusCode kBadServerData = 32003;
constexpr DbxStatusCode kFatalError = 32005;
constexpr DbxStatusCode kVersionIncompatible = 32006;
constexpr DbxStatusCode kDatabaseError = 32016;
constexpr DbxStatusCode kLowMemory = 32103;
constexpr DbxStatusCode kAlreadyConnected = 32104;
constexpr DbxStatusCode kNoConnection = 32105;
constexpr DbxStatusCode kServerBusy = 32106;
constexpr DbxStatusCode kBadInput = 32122;
constexpr DbxStatusCode kNoMoreLayers = 32161;
constexpr DbxStatusCode kInvalidWidth = 32184;
constexpr DbxStatusCode kInvalidLayerId = 32198;
constexpr DbxStatusCode kItemOutsideWorkspace = 32232;
constexpr DbxStatusCode kUnableToOpenFile = 32239;
}  // namespace status

constexpr char kDefaultBoardName[] = "untitled.kicad_pcb";
constexpr char kDesignVariable[] = "DBX_DESIGN";

// Layout of our handle inside the caller's 28-byte context. The generation makes a context
// that was closed, copied from an old run, or never opened, fail cleanly instead of aliasing
// whatever board now sits in its slot.
constexpr std::uint32_t kContextMagic = 0x4B36'4244;  // "DB6K"
constexpr std::size_t kMagicOffset = 0;
constexpr std::size_t kSlotOffset = 4;
constexpr std::size_t kGenerationOffset = 8;

struct OpenBoard {
    int fd = -1;
    dev_t device = 0;
    ino_t inode = 0;
    std::vector<std::array<char, bitlay::dbx::kLayerNameLength>> layerNames;
    // For each layer: ") (layer \"CANONICAL\") (width ", the part of an item between its
    // coordinates and its width.
    std::vector<std::string> layerClauses;
    off_t closingOffset = 0;  // where the ')' closing (kicad_pcb ...) stands
    off_t fileSize = 0;
    bool needsLineBreak = false;  // the first item goes on a line of its own
    std::string lineBuffer;
};

struct Slot {
    std::uint64_t generation = 0;  // 0: free
    std::unique_ptr<OpenBoard> board;
};

// Every board attached in this process. The file lock alone cannot refuse a second attach from
// within the same process on every platform, so attachments are also tracked by device and inode.
struct Registry {
    std::mutex mutex;
    std::vector<Slot> slots;
    std::uint64_t lastGeneration = 0;
};

Registry& registry() {
    static Registry instance;
    return instance;
}

void writeHandle(DesignContext& context, std::uint32_t slot, std::uint64_t generation) noexcept {
    std::memset(context.bytes, 0, sizeof context.bytes);
    std::memcpy(context.bytes + kMagicOffset, &kContextMagic, sizeof kContextMagic);
    std::memcpy(context.bytes + kSlotOffset, &slot, sizeof slot);
    std::memcpy(context.bytes + kGenerationOffset, &generation, sizeof generation);
}

// The slot the context names, or null when it names no attached board. Registry mutex held.
Slot* findSlot(Registry& reg, const DesignContext* context) noexcept {
    if (context == nullptr) return nullptr;
    std::uint32_t magic = 0;
    std::uint32_t slot = 0;
    std::uint64_t generation = 0;
    std::memcpy(&magic, context->bytes + kMagicOffset, sizeof magic);
    std::memcpy(&slot, context->bytes + kSlotOffset, sizeof slot);
    std::memcpy(&generation, context->bytes + kGenerationOffset, sizeof generation);
    if (magic != kContextMagic || slot >= reg.slots.size()) return nullptr;
    Slot& found = reg.slots[slot];
    if (found.generation == 0 || found.generation != generation || !found.board) return nullptr;
    return &found;
}

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

std::unique_ptr<OpenBoard> makeOpenBoard(int fd, const struct stat& info, BoardOutline& outline,
                                         std::string_view text) {
    auto board = std::make_unique<OpenBoard>();
    board->fd = fd;
    board->device = info.st_dev;
    board->inode = info.st_ino;
    board->closingOffset = static_cast<off_t>(outline.closingOffset);
    board->fileSize = static_cast<off_t>(text.size());
    board->needsLineBreak = outline.closingOffset > 0 && text[outline.closingOffset - 1] != '\n';

    std::size_t longestClause = 0;
    for (const BoardLayer& layer : outline.layers) {
        std::array<char, bitlay::dbx::kLayerNameLength> name{};
        const std::string latin1 =
            toLatin1(layer.userName.empty() ? layer.canonicalName : layer.userName);
        std::memcpy(name.data(), latin1.data(), std::min(latin1.size(), name.size()));
        board->layerNames.push_back(name);

        std::string clause = ") (layer " + quoteKicadString(layer.canonicalName) + ") (width ";
        longestClause = std::max(longestClause, clause.size());
        board->layerClauses.push_back(std::move(clause));
    }
    // Room for the line break, the fixed words, five numbers of at most 16 characters each and
    // the longest layer clause.
    board->lineBuffer.resize(256 + longestClause);
    return board;
}

DbxStatusCode openDesign(DesignContext* context) {
    if (context == nullptr) return status::kBadInput;
    Registry& reg = registry();
    const std::lock_guard<std::mutex> guard(reg.mutex);
    const bool contextInUse = findSlot(reg, context) != nullptr;

    const char* configured = std::getenv(kDesignVariable);
    const char* path = configured != nullptr && *configured != '\0' ? configured : nullptr;
    if (path == nullptr) {
        path = kDefaultBoardName;
        if (!ensureDefaultBoard(path)) return status::kUnableToOpenFile;
    }

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
    for (const Slot& slot : reg.slots) {
        if (slot.board && slot.board->device == info.st_dev && slot.board->inode == info.st_ino) {
            return status::kServerBusy;
        }
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        return errno == EWOULDBLOCK ? status::kServerBusy : status::kUnableToOpenFile;
    }
    if (contextInUse) return status::kAlreadyConnected;

    std::string text;
    if (!readAll(fd, text)) return status::kUnableToOpenFile;
    BoardOutline outline = readBoardOutline(text);
    if (outline.result == BoardReadResult::kTooNew) return status::kVersionIncompatible;
    if (outline.result != BoardReadResult::kOk) return status::kBadServerData;

    std::unique_ptr<OpenBoard> board = makeOpenBoard(fd, info, outline, text);
    std::size_t index = 0;
    while (index < reg.slots.size() && reg.slots[index].generation != 0) ++index;
    if (index == reg.slots.size()) reg.slots.emplace_back();
    Slot& slot = reg.slots[index];
    slot.generation = ++reg.lastGeneration;
    slot.board = std::move(board);
    closer.keep = true;
    writeHandle(*context, static_cast<std::uint32_t>(index), slot.generation);
    return status::kOk;
}

DbxStatusCode getLayer(DesignContext* context, std::int32_t layerId, LayerRecord8* layer) {
    Registry& reg = registry();
    const std::lock_guard<std::mutex> guard(reg.mutex);
    const Slot* slot = findSlot(reg, context);
    if (slot == nullptr) return status::kNoConnection;
    if (layer == nullptr) return status::kBadInput;
    if (layerId < 1) return status::kInvalidLayerId;
    const auto& names = slot->board->layerNames;
    if (static_cast<std::size_t>(layerId) > names.size()) return status::kNoMoreLayers;
    std::memcpy(layer->layerName, names[static_cast<std::size_t>(layerId) - 1].data(),
                sizeof layer->layerName);
    return status::kOk;
}

bool insideWorkspace(std::int32_t value) noexcept {
    return value >= -kWorkspaceLimitUnits && value <= kWorkspaceLimitUnits;
}

template <std::size_t N>
char* appendText(char* p, const char (&text)[N]) noexcept {
    std::memcpy(p, text, N - 1);
    return p + (N - 1);
}

DbxStatusCode placeLine(DesignContext* context, const LineRecord* line) {
    Registry& reg = registry();
    const std::lock_guard<std::mutex> guard(reg.mutex);
    Slot* slot = findSlot(reg, context);
    if (slot == nullptr) return status::kNoConnection;
    if (line == nullptr) return status::kBadInput;
    OpenBoard& board = *slot->board;
    if (line->layerId < 1 || static_cast<std::size_t>(line->layerId) > board.layerClauses.size()) {
        return status::kInvalidLayerId;
    }
    if (line->width <= 0) return status::kInvalidWidth;
    if (!insideWorkspace(line->width) || !insideWorkspace(line->startX) ||
        !insideWorkspace(line->startY) || !insideWorkspace(line->endX) ||
        !insideWorkspace(line->endY)) {
        return status::kItemOutsideWorkspace;
    }

    // KiCad's y axis points down, the board's up.
    const std::string& clause = board.layerClauses[static_cast<std::size_t>(line->layerId) - 1];
    char* const start = board.lineBuffer.data();
    char* p = start;
    if (board.needsLineBreak) *p++ = '\n';
    p = appendText(p, "  (gr_line (start ");
    p += appendMillimetres(p, line->startX);
    *p++ = ' ';
    p += appendMillimetres(p, -static_cast<std::int64_t>(line->startY));
    p = appendText(p, ") (end ");
    p += appendMillimetres(p, line->endX);
    *p++ = ' ';
    p += appendMillimetres(p, -static_cast<std::int64_t>(line->endY));
    std::memcpy(p, clause.data(), clause.size());
    p += clause.size();
    p += appendMillimetres(p, line->width);
    p = appendText(p, "))\n)\n");
    const auto length = static_cast<std::size_t>(p - start);

    // One write puts the item where the closing parenthesis stood and the parenthesis after it.
    if (!writeAll(board.fd, start, length, board.closingOffset)) {
        // Put the closing back so the board stays readable, whatever part of the item landed.
        writeAll(board.fd, ")\n", 2, board.closingOffset);
        if (::ftruncate(board.fd, board.closingOffset + 2) == 0) {
            board.fileSize = board.closingOffset + 2;
        }
        return status::kDatabaseError;
    }
    const off_t end = board.closingOffset + static_cast<off_t>(length);
    // Only a board whose tail held more white space than one item is long gets shorter; should
    // that fail, the white space left past the end is harmless to a reader.
    if (end < board.fileSize) static_cast<void>(::ftruncate(board.fd, end));
    board.fileSize = end;
    board.closingOffset = end - 2;
    board.needsLineBreak = false;
    return status::kOk;
}

DbxStatusCode closeDesign(DesignContext* context) {
    Registry& reg = registry();
    const std::lock_guard<std::mutex> guard(reg.mutex);
    Slot* slot = findSlot(reg, context);
    if (slot == nullptr) return status::kNoConnection;
    DbxStatusCode result = status::kOk;
    if (::fsync(slot->board->fd) != 0) result = status::kDisconnectError;
    // Closing the descriptor also releases the lock.
    if (::close(slot->board->fd) != 0 && result == status::kOk) result = status::kDisconnectError;
    slot->board.reset();
    slot->generation = 0;
    return result;
}

// No exception may cross the C boundary.
template <typename Call>
DbxStatusCode guarded(Call&& call) noexcept {
    try {
        return call();
    } catch (const std::bad_alloc&) {
        return status::kLowMemory;
    } catch (...) {
        return status::kFatalError;
    }
}

}  // namespace
}  // namespace bitlay::kicad

DBX_EXPORT DbxStatusCode DBX_CALL TOpenDesign(std::int32_t, std::int32_t, const char*,
                                              DesignContext* context) {
    return bitlay::kicad::guarded([&] { return bitlay::kicad::openDesign(context); });
}

DBX_EXPORT DbxStatusCode DBX_CALL TGetLayerById(DesignContext* context, std::int32_t layerId,
                                                LayerRecord8* layer) {
    return bitlay::kicad::guarded([&] { return bitlay::kicad::getLayer(context, layerId, layer); });
}

DBX_EXPORT DbxStatusCode DBX_CALL TPlaceLine(DesignContext* context, LineRecord* line) {
    return bitlay::kicad::guarded([&] { return bitlay::kicad::placeLine(context, line); });
}

DBX_EXPORT DbxStatusCode DBX_CALL TCloseDesign(DesignContext* context, const char*) {
    return bitlay::kicad::guarded([&] { return bitlay::kicad::closeDesign(context); });
}
