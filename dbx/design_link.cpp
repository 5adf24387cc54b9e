#include "dbx/design_link.h"

#include <cstring>

#include "dbx/library_loader.h"

namespace bitlay::dbx {
namespace {

// Each function is looked up at its own first call and kept; the loader remembers it too, this
// copy only spares TPlaceLine, called once per line, the lookup by name.
template <class Function>
class Resolved final {
  public:
    explicit Resolved(const char* name) noexcept : name_(name) {}
    Function get() {
        if (!address_ || generation_ != linkGeneration()) {
            address_ = reinterpret_cast<Function>(resolveFunction(name_));
            generation_ = linkGeneration();
        }
        return address_;
    }

  private:
    const char* name_;
    Function address_ = nullptr;
    unsigned generation_ = 0;
};

Resolved<TOpenDesignFn> openDesign{"TOpenDesign"};
Resolved<TGetLayerByIdFn> getLayerById{"TGetLayerById"};
Resolved<TPlaceLineFn> placeLine{"TPlaceLine"};
Resolved<TCloseDesignFn> closeDesign{"TCloseDesign"};

DbxStatusCode stored(DbxStatusCode status) noexcept {
    link::DbxStatus = status;
    return status;
}

}  // namespace

std::string toLatin1(const std::u16string& text) {
    std::string bytes;
    bytes.reserve(text.size());
    for (const char16_t c : text) bytes.push_back(c <= 0xFF ? static_cast<char>(c) : '?');
    return bytes;
}

LayerRecord8 toLibraryForm(const LayerRecord& record) noexcept {
    LayerRecord8 bytes{};
    bytes.reserved0 = record.reserved0;
    for (std::size_t i = 0; i < kLayerNameLength; ++i) {
        const char16_t c = record.layerName[i];
        bytes.layerName[i] = c <= 0xFF ? static_cast<char>(c) : '?';
    }
    std::memcpy(bytes.reserved, record.reserved, sizeof bytes.reserved);
    return bytes;
}

LayerRecord fromLibraryForm(const LayerRecord8& bytes) noexcept {
    LayerRecord record;
    record.reserved0 = bytes.reserved0;
    for (std::size_t i = 0; i < kLayerNameLength; ++i)
        record.layerName[i] = static_cast<unsigned char>(bytes.layerName[i]);
    std::memcpy(record.reserved, bytes.reserved, sizeof record.reserved);
    return record;
}

DbxStatusCode TOpenDesign(std::int32_t mode, std::int32_t timeout, const std::u16string& text,
                          DesignContext& context) {
    const auto call = openDesign.get();
    const std::string bytes = toLatin1(text);  // c_str() of an empty string is a NUL byte
    return stored(call(mode, timeout, bytes.c_str(), &context));
}

DbxStatusCode TGetLayerById(DesignContext& context, std::int32_t layerId, LayerRecord& record) {
    const auto call = getLayerById.get();
    LayerRecord8 bytes = toLibraryForm(record);
    const DbxStatusCode status = call(&context, layerId, &bytes);
    record = fromLibraryForm(bytes);
    return stored(status);
}

DbxStatusCode TPlaceLine(DesignContext& context, LineRecord& record) {
    const auto call = placeLine.get();
    return stored(call(&context, &record));
}

DbxStatusCode TCloseDesign(DesignContext& context, const std::u16string& text) {
    const auto call = closeDesign.get();
    const std::string bytes = toLatin1(text);
    return stored(call(&context, bytes.c_str()));
}

}  // namespace bitlay::dbx
