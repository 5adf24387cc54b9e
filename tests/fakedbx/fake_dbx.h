#pragma once

// A scripted stand-in for the DBX library, built only for tests. It is loaded by the tool through
// its real loading path (it is named libdbx32.so and lies beside the test executables), and the
// tests reach its script and its call log through the functions below, because they link it too.

#include <array>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "dbx/records.h"
#include "dbx/status_codes.h"

namespace bitlay::fakedbx {

struct Call {
    std::string function;
    // TOpenDesign's two integers.
    std::int32_t first = 0;
    std::int32_t second = 0;
    // The text argument, and whether it came as a null address.
    bool textIsNull = false;
    std::string text;
    std::int32_t layerId = 0;
    // The context and the layer record as they arrived.
    std::array<std::uint8_t, sizeof(dbx::DesignContext)> context{};
    std::array<std::uint8_t, sizeof(dbx::LayerRecord8)> layerRecord{};
    dbx::LineRecord line{};
};

struct Script {
    dbx::DbxStatusCode openStatus = 0;
    // TOpenDesign does not return until releaseOpen(), as an editor that does not answer.
    bool openWaits = false;
    // Layer id to the record handed back; ids not listed give missingLayerStatus and leave the
    // record alone.
    std::map<std::int32_t, dbx::LayerRecord8> layers;
    dbx::DbxStatusCode missingLayerStatus = dbx::status::kNoMoreLayers;
    dbx::DbxStatusCode placeStatus = 0;
    dbx::DbxStatusCode closeStatus = 0;
};

// What TOpenDesign writes into the context on success: 28 recognisable bytes.
std::array<std::uint8_t, sizeof(dbx::DesignContext)> openedContext();

// Forget every call and go back to the default script (attach succeeds, no layers).
void reset();
// Lets a TOpenDesign held by Script::openWaits return, now or as soon as it comes.
void releaseOpen();
// Whether TOpenDesign has returned since the last reset().
bool openReturned();
Script& script();
const std::vector<Call>& calls();
std::vector<Call> callsOf(const std::string& function);

// A layer record with the given name bytes (at most 100; the rest NUL).
dbx::LayerRecord8 layerNamed(const std::string& name);

}  // namespace bitlay::fakedbx
