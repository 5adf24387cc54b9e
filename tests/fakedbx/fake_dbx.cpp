#include "tests/fakedbx/fake_dbx.h"

#include <algorithm>
#include <cstring>

namespace bitlay::fakedbx {
namespace {

struct State {
    Script script;
    std::vector<Call> calls;
};

State& state() {
    static State instance;
    return instance;
}

// The gate a waiting TOpenDesign stands at; TOpenDesign runs on a thread of the tool's own.
struct OpenGate {
    std::mutex mutex;
    std::condition_variable changed;
    bool released = false;
    bool returned = false;
};

OpenGate& openGate() {
    static OpenGate instance;
    return instance;
}

Call& logCall(const char* function, const dbx::DesignContext* context, const char* text) {
    Call call;
    call.function = function;
    if (context) std::memcpy(call.context.data(), context, call.context.size());
    call.textIsNull = text == nullptr;
    if (text) call.text = text;
    state().calls.push_back(call);
    return state().calls.back();
}

}  // namespace

std::array<std::uint8_t, sizeof(dbx::DesignContext)> openedContext() {
    std::array<std::uint8_t, sizeof(dbx::DesignContext)> bytes{};
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(0xA0 + i);
    return bytes;
}

#ifndef FAKEDBX_PARTIAL
void reset() {
    state() = State{};
    const std::lock_guard<std::mutex> lock(openGate().mutex);
    openGate().released = false;
    openGate().returned = false;
}

void releaseOpen() {
    const std::lock_guard<std::mutex> lock(openGate().mutex);
    openGate().released = true;
    openGate().changed.notify_all();
}

bool openReturned() {
    const std::lock_guard<std::mutex> lock(openGate().mutex);
    return openGate().returned;
}

Script& script() { return state().script; }
const std::vector<Call>& calls() { return state().calls; }

std::vector<Call> callsOf(const std::string& function) {
    std::vector<Call> found;
    std::copy_if(state().calls.begin(), state().calls.end(), std::back_inserter(found),
                 [&](const Call& call) { return call.function == function; });
    return found;
}

dbx::LayerRecord8 layerNamed(const std::string& name) {
    dbx::LayerRecord8 record{};
    std::memcpy(record.layerName, name.data(), std::min(name.size(), dbx::kLayerNameLength));
    return record;
}
#endif

}  // namespace bitlay::fakedbx

using namespace bitlay;

DBX_EXPORT dbx::DbxStatusCode DBX_CALL TOpenDesign(std::int32_t first, std::int32_t second,
                                                   const char* text, dbx::DesignContext* context) {
    fakedbx::Call& call = fakedbx::logCall("TOpenDesign", context, text);
    call.first = first;
    call.second = second;
    const dbx::DbxStatusCode status = fakedbx::state().script.openStatus;
    fakedbx::OpenGate& gate = fakedbx::openGate();
    std::unique_lock<std::mutex> lock(gate.mutex);
    if (fakedbx::state().script.openWaits) gate.changed.wait(lock, [&] { return gate.released; });
    if (status == 0 && context) {
        const auto bytes = fakedbx::openedContext();
        std::memcpy(context, bytes.data(), bytes.size());
    }
    gate.returned = true;
    return status;
}

DBX_EXPORT dbx::DbxStatusCode DBX_CALL TGetLayerById(dbx::DesignContext* context,
                                                     std::int32_t layerId,
                                                     dbx::LayerRecord8* record) {
    fakedbx::Call& call = fakedbx::logCall("TGetLayerById", context, "");
    call.layerId = layerId;
    if (record) std::memcpy(call.layerRecord.data(), record, call.layerRecord.size());
    const auto& layers = fakedbx::state().script.layers;
    const auto found = layers.find(layerId);
    if (found == layers.end()) return fakedbx::state().script.missingLayerStatus;
    if (record) *record = found->second;
    return 0;
}

#ifndef FAKEDBX_PARTIAL
DBX_EXPORT dbx::DbxStatusCode DBX_CALL TPlaceLine(dbx::DesignContext* context,
                                                  dbx::LineRecord* line) {
    fakedbx::Call& call = fakedbx::logCall("TPlaceLine", context, "");
    if (line) call.line = *line;
    return fakedbx::state().script.placeStatus;
}
#endif

DBX_EXPORT dbx::DbxStatusCode DBX_CALL TCloseDesign(dbx::DesignContext* context, const char* text) {
    fakedbx::logCall("TCloseDesign", context, text);
    return fakedbx::state().script.closeStatus;
}
