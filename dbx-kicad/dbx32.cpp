// The stand-in for the PCB editor's DBX library. It owns the handles the caller's contexts hold,
// decides which design is open, and makes the checks every design shares before a design sees a
// call.

#include "dbx-kicad/dbx32.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "dbx-kicad/design.h"
#include "dbx-kicad/file/file_design.h"
#include "dbx-kicad/live/editor_sockets.h"
#include "dbx-kicad/live/live_design.h"
#include "dbx-kicad/status.h"

using bitlay::dbx::DbxStatusCode;
using bitlay::dbx::DesignContext;
using bitlay::dbx::LayerRecord8;
using bitlay::dbx::LineRecord;

namespace bitlay::kicad {
namespace {

constexpr char kDesignVariable[] = "DBX_DESIGN";

// Layout of our handle inside the caller's 28-byte context. The generation makes a context
// that was closed, copied from an old run, or never opened, fail cleanly instead of aliasing
// whatever design now sits in its slot.
constexpr std::uint32_t kContextMagic = 0x4B36'4244;  // "DB6K"
constexpr std::size_t kMagicOffset = 0;
constexpr std::size_t kSlotOffset = 4;
constexpr std::size_t kGenerationOffset = 8;

// One attached design and the lock that serialises the calls into it. A call holds the handle
// while it runs, so a design that is closed meanwhile is let go only once the call has returned;
// a call that comes after the close finds no design.
struct Handle {
    std::mutex calls;
    std::unique_ptr<Design> design;  // null once closed
};

struct Slot {
    std::uint64_t generation = 0;  // 0: free
    std::shared_ptr<Handle> handle;
};

// Every design attached in this process. The mutex guards the slots only: a slot is found under
// it and the design is called outside it, so a design that waits for its KiCad (an attach, the
// first line of a transfer, a close) holds up no other design and no lookup.
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

// The design the context names, or null when it names none. Registry mutex held.
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
    if (found.generation == 0 || found.generation != generation || !found.handle) return nullptr;
    return &found;
}

// The handle of the design the context names, found under the registry's mutex; null when it
// names none.
std::shared_ptr<Handle> findHandle(const DesignContext* context) {
    Registry& reg = registry();
    const std::lock_guard<std::mutex> guard(reg.mutex);
    const Slot* slot = findSlot(reg, context);
    return slot != nullptr ? slot->handle : nullptr;
}

// Which design the editor has open: the board file DBX_DESIGN names; else, started by a KiCad
// (KICAD_API_SOCKET), the board open in that KiCad and nothing else; else the board open in the
// first KiCad found that answers with one; else, when no KiCad runs, the default board file. A
// KiCad that takes the connection but does not answer is waited for, never passed over.
OpenedDesign attach() {
    const char* configured = std::getenv(kDesignVariable);
    if (configured != nullptr && *configured != '\0') return openFileDesign(configured, false);
    const auto answerBy = std::chrono::steady_clock::now() + kAnswerWait;
    const EditorSockets editors = findEditorSockets();
    if (editors.named) {
        // The KiCad that started Bitlay: its lines go there or nowhere. Gone, restarted (its token
        // no longer matches) or without a board, it is reported as gone, never replaced.
        const EditorSocket& socket = editors.sockets.front();
        const SocketCheck check = checkSocket(socketPath(socket.url), ::geteuid());
        if (check == SocketCheck::kUntrusted) return {status::kSecurityError, nullptr};
        if (check == SocketCheck::kAbsent) return {status::kServerTerminated, nullptr};
        LiveAttachment live = openLiveDesign(socket, answerBy);
        if (!live.editorFound) return {status::kServerTerminated, nullptr};
        return {live.status, std::move(live.design)};
    }
    for (const EditorSocket& socket : editors.sockets) {
        LiveAttachment live = openLiveDesign(socket, answerBy);
        if (live.editorFound) return {live.status, std::move(live.design)};
    }
    return openFileDesign(kDefaultBoardName, true);
}

DbxStatusCode openDesign(DesignContext* context) {
    if (context == nullptr) return status::kBadInput;
    // Attaching may wait up to a minute for a KiCad: outside the registry's mutex.
    OpenedDesign attached = attach();
    if (attached.status != status::kOk) return attached.status;
    {
        Registry& reg = registry();
        const std::lock_guard<std::mutex> guard(reg.mutex);
        if (findSlot(reg, context) == nullptr) {
            std::size_t index = 0;
            while (index < reg.slots.size() && reg.slots[index].generation != 0) ++index;
            if (index == reg.slots.size()) reg.slots.emplace_back();
            Slot& slot = reg.slots[index];
            slot.generation = ++reg.lastGeneration;
            slot.handle = std::make_shared<Handle>();
            slot.handle->design = std::move(attached.design);
            writeHandle(*context, static_cast<std::uint32_t>(index), slot.generation);
            return status::kOk;
        }
    }
    attached.design->close();
    return status::kAlreadyConnected;
}

DbxStatusCode getLayer(DesignContext* context, std::int32_t layerId, LayerRecord8* layer) {
    const std::shared_ptr<Handle> handle = findHandle(context);
    if (handle == nullptr) return status::kNoConnection;
    const std::lock_guard<std::mutex> calls(handle->calls);
    if (handle->design == nullptr) return status::kNoConnection;
    if (layer == nullptr) return status::kBadInput;
    if (layerId < 1) return status::kInvalidLayerId;
    const auto& names = handle->design->layerNames();
    if (static_cast<std::size_t>(layerId) > names.size()) return status::kNoMoreLayers;
    std::memcpy(layer->layerName, names[static_cast<std::size_t>(layerId) - 1].data(),
                sizeof layer->layerName);
    return status::kOk;
}

DbxStatusCode placeLine(DesignContext* context, const LineRecord* line) {
    const std::shared_ptr<Handle> handle = findHandle(context);
    if (handle == nullptr) return status::kNoConnection;
    const std::lock_guard<std::mutex> calls(handle->calls);
    if (handle->design == nullptr) return status::kNoConnection;
    if (line == nullptr) return status::kBadInput;
    const DbxStatusCode checked = checkLine(*line, handle->design->layerNames().size());
    if (checked != status::kOk) return checked;
    return handle->design->placeLine(toBoardLine(*line));
}

DbxStatusCode closeDesign(DesignContext* context) {
    std::shared_ptr<Handle> handle;
    {
        Registry& reg = registry();
        const std::lock_guard<std::mutex> guard(reg.mutex);
        Slot* slot = findSlot(reg, context);
        if (slot == nullptr) return status::kNoConnection;
        handle = std::move(slot->handle);
        slot->generation = 0;
    }
    // Closing may wait for KiCad: outside the registry's mutex, after any call still in the design.
    const std::lock_guard<std::mutex> calls(handle->calls);
    const DbxStatusCode result = handle->design->close();
    handle->design.reset();
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
        return status::kFatalDbxError;
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
