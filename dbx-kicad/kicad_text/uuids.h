#pragma once

// UUIDs in KiCad's text: finding the ones a board gives its items, and making new ones.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace bitlay::kicad {

constexpr std::size_t kUuidLength = 36;

// The UUIDs `text` gives items as their own, in the 8-4-4-4-12 hex-digit form KiCad writes
// (either case): those after (uuid, (tstamp or (id, quoted or not. A UUID that only names another
// item, as a group's members do, is not one of them.
std::vector<std::string_view> itemUuidsIn(std::string_view text);

// Random (version 4) UUIDs in KiCad's text form, from a generator seeded once from the system's
// entropy source: cheap enough for one per placed line.
class UuidGenerator final {
  public:
    UuidGenerator();
    // Writes kUuidLength characters, lower-case hex with dashes.
    void next(char* out) noexcept;

  private:
    std::uint64_t nextWord() noexcept;
    std::uint64_t state_[4] = {};
};

}  // namespace bitlay::kicad
