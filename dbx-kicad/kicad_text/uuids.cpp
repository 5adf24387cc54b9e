#include "dbx-kicad/kicad_text/uuids.h"

#include <sys/random.h>

#include <random>

#include "dbx-kicad/kicad_text/lexer.h"

namespace bitlay::kicad {

UuidGenerator::UuidGenerator() {
    // Seeded once per design; each UUID then costs a few arithmetic operations.
    std::size_t filled = 0;
    auto* bytes = reinterpret_cast<unsigned char*>(state_);
    while (filled < sizeof state_) {
        const ssize_t got = ::getrandom(bytes + filled, sizeof state_ - filled, 0);
        if (got <= 0) break;
        filled += static_cast<std::size_t>(got);
    }
    if (filled < sizeof state_) {
        std::random_device device;
        for (std::uint64_t& word : state_) {
            word = (std::uint64_t{device()} << 32) ^ device();
        }
    }
    if ((state_[0] | state_[1] | state_[2] | state_[3]) == 0) state_[0] = 1;
}

namespace {

// Whether the UUID at `at` follows "(uuid", "(tstamp" or "(id", a space or more and a quote or
// none: the item's own UUID.
bool ownUuidAt(std::string_view text, std::size_t at) noexcept {
    std::size_t i = at;
    if (i > 0 && text[i - 1] == '"') --i;
    const std::size_t spaceEnd = i;
    while (i > 0 && isKicadSpace(text[i - 1])) --i;
    if (i == spaceEnd) return false;
    for (const std::string_view key : {"(uuid", "(tstamp", "(id"}) {
        if (i >= key.size() && text.substr(i - key.size(), key.size()) == key) return true;
    }
    return false;
}

}  // namespace

std::vector<std::string_view> itemUuidsIn(std::string_view text) {
    const auto hex = [](char c) noexcept {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    };
    std::vector<std::string_view> found;
    std::size_t i = 0;
    while (i + kUuidLength <= text.size()) {
        // A UUID's fifth group starts 24 characters in: look for the dash before it first.
        const char* const at = text.data() + i;
        bool matches = at[8] == '-' && at[13] == '-' && at[18] == '-' && at[23] == '-';
        for (std::size_t k = 0; matches && k < kUuidLength; ++k) {
            matches = k == 8 || k == 13 || k == 18 || k == 23 ? true : hex(at[k]);
        }
        const bool bounded = (i == 0 || !(hex(text[i - 1]) || text[i - 1] == '-')) &&
                             (i + kUuidLength == text.size() ||
                              !(hex(text[i + kUuidLength]) || text[i + kUuidLength] == '-'));
        if (matches && bounded) {
            if (ownUuidAt(text, i)) found.push_back(text.substr(i, kUuidLength));
            i += kUuidLength;
        } else {
            ++i;
        }
    }
    return found;
}

std::uint64_t UuidGenerator::nextWord() noexcept {
    // xoshiro256**
    const auto rotate = [](std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); };
    const std::uint64_t result = rotate(state_[1] * 5, 7) * 9;
    const std::uint64_t t = state_[1] << 17;
    state_[2] ^= state_[0];
    state_[3] ^= state_[1];
    state_[1] ^= state_[2];
    state_[0] ^= state_[3];
    state_[2] ^= t;
    state_[3] = rotate(state_[3], 45);
    return result;
}

Uuid UuidGenerator::next() noexcept {
    static constexpr char kHex[] = "0123456789abcdef";
    unsigned char bytes[16];
    const std::uint64_t high = nextWord();
    const std::uint64_t low = nextWord();
    for (int i = 0; i < 8; ++i) {
        bytes[i] = static_cast<unsigned char>(high >> (56 - 8 * i));
        bytes[8 + i] = static_cast<unsigned char>(low >> (56 - 8 * i));
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0Fu) | 0x40u);  // version 4: random
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3Fu) | 0x80u);  // RFC 4122 variant
    Uuid uuid;
    char* p = uuid.text_.data();
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) *p++ = '-';
        *p++ = kHex[bytes[i] >> 4];
        *p++ = kHex[bytes[i] & 0x0Fu];
    }
    return uuid;
}

}  // namespace bitlay::kicad
