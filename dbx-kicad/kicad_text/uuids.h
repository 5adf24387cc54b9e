#pragma once

// UUIDs in KiCad's text: finding the ones a board gives its items, and making new ones.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace bitlay::kicad {

constexpr std::size_t kUuidLength = 36;

// A UUID as KiCad writes one: 8-4-4-4-12 lower-case hex digits with dashes, no quotes.
class Uuid final {
  public:
    // The nil UUID, all zeros.
    Uuid() noexcept {
        text_.fill('0');
        text_[8] = text_[13] = text_[18] = text_[23] = '-';
    }

    std::string_view text() const noexcept { return {text_.data(), text_.size()}; }

    bool operator==(const Uuid& other) const noexcept { return text_ == other.text_; }
    bool operator!=(const Uuid& other) const noexcept { return text_ != other.text_; }

  private:
    friend class UuidGenerator;
    std::array<char, kUuidLength> text_;
};

// The UUIDs `text` gives items as their own, in the 8-4-4-4-12 hex-digit form KiCad writes
// (either case): those after (uuid, (tstamp or (id, quoted or not. A UUID that only names another
// item, as a group's members do, is not one of them.
std::vector<std::string_view> itemUuidsIn(std::string_view text);

// Random (version 4) UUIDs in KiCad's text form, from a generator seeded once from the system's
// entropy source: cheap enough for one per placed line.
class UuidGenerator final {
  public:
    UuidGenerator();
    Uuid next() noexcept;

  private:
    std::uint64_t nextWord() noexcept;
    std::uint64_t state_[4] = {};
};

}  // namespace bitlay::kicad
