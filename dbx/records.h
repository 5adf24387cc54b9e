#pragma once

// The records and the calling convention at the DBX boundary. This one header is shared by the
// tool and by the stand-in library, so both sides agree on every byte.

#include <cstddef>
#include <cstdint>

// Library functions use the platform's standard calling convention: stdcall on 32-bit Windows.
#if defined(_WIN32) && !defined(_WIN64)
#define DBX_CALL __stdcall
#else
#define DBX_CALL
#endif

#if defined(_WIN32)
#define DBX_EXPORT extern "C" __declspec(dllexport)
#else
#define DBX_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace bitlay::dbx {

using DbxStatusCode = std::int32_t;

// Opaque to the tool: the library keeps its own handle in here.
struct DesignContext {
    std::uint8_t bytes[28];
};
static_assert(sizeof(DesignContext) == 28);

constexpr std::size_t kLayerNameLength = 100;

// The layer record as the library sees it: 8-bit text, 148 bytes.
struct LayerRecord8 {
    std::int32_t reserved0;
    char layerName[kLayerNameLength];
    std::int32_t reserved[11];
};
static_assert(sizeof(LayerRecord8) == 148);
static_assert(offsetof(LayerRecord8, reserved0) == 0);
static_assert(offsetof(LayerRecord8, layerName) == 4);
static_assert(offsetof(LayerRecord8, reserved) == 104);

// The numeric item record of TPlaceLine, 60 bytes; the bytes not named here stay zero.
struct LineRecord {
    std::int32_t unused0[2];
    std::int32_t width;
    std::int32_t startX;
    std::int32_t startY;
    std::int32_t endX;
    std::int32_t endY;
    std::int32_t unused28[5];
    std::int32_t layerId;
    std::int32_t unused52[2];
};
static_assert(sizeof(LineRecord) == 60);
static_assert(offsetof(LineRecord, width) == 8);
static_assert(offsetof(LineRecord, startX) == 12);
static_assert(offsetof(LineRecord, startY) == 16);
static_assert(offsetof(LineRecord, endX) == 20);
static_assert(offsetof(LineRecord, endY) == 24);
static_assert(offsetof(LineRecord, unused28) == 28);
static_assert(offsetof(LineRecord, layerId) == 48);
static_assert(offsetof(LineRecord, unused52) == 52);

// The four library functions, as resolved by name.
using TOpenDesignFn = DbxStatusCode(DBX_CALL*)(std::int32_t, std::int32_t, const char*,
                                               DesignContext*);
using TGetLayerByIdFn = DbxStatusCode(DBX_CALL*)(DesignContext*, std::int32_t, LayerRecord8*);
using TPlaceLineFn = DbxStatusCode(DBX_CALL*)(DesignContext*, LineRecord*);
using TCloseDesignFn = DbxStatusCode(DBX_CALL*)(DesignContext*, const char*);

}  // namespace bitlay::dbx
