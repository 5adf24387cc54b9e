#pragma once

// The tool's side of DBX: the design link's program-wide variables, the layer record in the tool's
// own (wide) form, and the four library functions. Each function loads the library and resolves
// its symbol on first use (see library_loader.h) and stores its result in link::DbxStatus before
// returning it, so DbxStatus always holds the status of the most recent call.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "dbx/records.h"

namespace bitlay::dbx {

// The library cannot be loaded, or lacks a function. Raised instead of crashing; the window's
// handler boundary (or start-up) shows it.
class LinkError final : public std::runtime_error {
  public:
    explicit LinkError(const std::string& what) : std::runtime_error(what) {}
};

// The layer record as the tool holds it: the name as 100 wide characters. Only the name is used;
// the other fields are carried through unchanged.
struct LayerRecord {
    std::int32_t reserved0 = 0;
    char16_t layerName[kLayerNameLength] = {};
    std::int32_t reserved[11] = {};
};
static_assert(sizeof(LayerRecord) == 4 + 2 * kLayerNameLength + 44);
static_assert(offsetof(LayerRecord, reserved0) == 0);
static_assert(offsetof(LayerRecord, layerName) == 4);
static_assert(offsetof(LayerRecord, reserved) == 4 + 2 * kLayerNameLength);

// The design link's program-wide variables. They sit in their own namespace because the context
// variable carries the name of its record type.
namespace link {
// Filled by TOpenDesign, passed unchanged to every later call; the tool never looks inside.
inline DesignContext DesignContext{};
// The result of the most recent DBX call; 0 means success.
inline DbxStatusCode DbxStatus = 0;
}  // namespace link

// Texts go over as NUL-terminated 8-bit (Latin-1) texts; the empty text as the address of a NUL.
DbxStatusCode TOpenDesign(std::int32_t mode, std::int32_t timeout, const std::u16string& text,
                          DesignContext& context);
// The record goes over in its 148-byte 8-bit form and comes back converted to the wide form.
DbxStatusCode TGetLayerById(DesignContext& context, std::int32_t layerId, LayerRecord& record);
DbxStatusCode TPlaceLine(DesignContext& context, LineRecord& record);
DbxStatusCode TCloseDesign(DesignContext& context, const std::u16string& text);

// Latin-1 both ways; a character beyond Latin-1 becomes '?', as the code page's default character.
std::string toLatin1(const std::u16string& text);
LayerRecord8 toLibraryForm(const LayerRecord& record) noexcept;
LayerRecord fromLibraryForm(const LayerRecord8& record) noexcept;

}  // namespace bitlay::dbx
