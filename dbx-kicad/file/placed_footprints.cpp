#include "dbx-kicad/file/placed_footprints.h"

#include <algorithm>

namespace bitlay::kicad {
namespace {

bool presentIn(const std::unordered_set<std::string_view>& present, const Uuid& uuid) {
    return present.count(uuid.text()) != 0;
}

}  // namespace

const PlacedFootprints::Footprint& PlacedFootprints::footprintOf(const Write& write,
                                                                 const Part& part) const noexcept {
    return part.footprint < footprints_.size() ? footprints_[part.footprint] : write.opened;
}

bool PlacedFootprints::hasWrites() const noexcept {
    return !waiting_.empty() || (open_ && ended(*open_));
}

void PlacedFootprints::plan(const Line* line, Write& write) {
    write.parts.clear();
    write.line = nullptr;
    write.opensFootprint = false;
    if (open_ && ended(*open_)) write.parts.push_back({*open_, false, {}, true});
    for (const Part& part : waiting_) {
        write.parts.push_back(part);
        write.parts.back().close = ended(part.footprint);
    }
    if (line == nullptr) return;
    write.line = line;
    if (!write.parts.empty() && !write.parts.back().close) return;  // the open transfer's
    if (open_ && !ended(*open_)) {
        write.parts.push_back({*open_, false, {}, false});
        return;
    }
    write.opensFootprint = true;
    write.opened.uuid = uuids_.next();
    write.opened.anchorX = line->geometry.startX;
    write.opened.anchorY = line->geometry.startY;
    write.opened.transfer = openTransfer_ ? *openTransfer_ : transfers_.size();
    write.parts.push_back({footprints_.size(), true, {}, false});
}

void PlacedFootprints::written(const Write& write) {
    waiting_.clear();
    open_.reset();
    if (write.opensFootprint) footprints_.push_back(write.opened);
    if (!write.parts.empty() && !write.parts.back().close) open_ = write.parts.back().footprint;
    if (write.line == nullptr) return;
    if (!openTransfer_) {
        openTransfer_ = transfers_.size();
        transfers_.emplace_back();
    }
    ++transfers_[*openTransfer_].lines;
    footprints_[write.parts.back().footprint].lines.push_back(lines_.size());
    lines_.push_back(*write.line);
}

void PlacedFootprints::endTransfer() noexcept {
    if (openTransfer_) transfers_[*openTransfer_].ended = true;
    openTransfer_.reset();
}

std::size_t PlacedFootprints::newFootprint(std::size_t transfer,
                                           const std::vector<std::size_t>& lines) {
    Footprint footprint;
    footprint.uuid = uuids_.next();
    footprint.anchorX = lines_[lines.front()].geometry.startX;
    footprint.anchorY = lines_[lines.front()].geometry.startY;
    footprint.transfer = transfer;
    footprint.lines = lines;
    footprints_.push_back(std::move(footprint));
    return footprints_.size() - 1;
}

void PlacedFootprints::boardReplaced(const std::unordered_set<std::string_view>& present) {
    waiting_.clear();
    open_.reset();
    std::vector<bool> missing(lines_.size());
    for (std::size_t i = 0; i < lines_.size(); ++i)
        missing[i] = !presentIn(present, lines_[i].uuid);

    std::vector<std::size_t> openMissing;  // the open transfer's, from all its footprints
    std::optional<std::size_t> openLast;   // the open transfer's latest footprint
    const std::size_t count = footprints_.size();
    for (std::size_t f = 0; f < count; ++f) {
        std::vector<std::size_t> kept;
        std::vector<std::size_t> gone;
        for (const std::size_t i : footprints_[f].lines) (missing[i] ? gone : kept).push_back(i);
        const std::size_t transfer = footprints_[f].transfer;
        if (openTransfer_ && transfer == *openTransfer_) {
            openLast = f;
            openMissing.insert(openMissing.end(), gone.begin(), gone.end());
            footprints_[f].lines = std::move(kept);
        } else if (gone.empty()) {
            continue;
        } else if (!presentIn(present, footprints_[f].uuid)) {
            waiting_.push_back({f, true, std::move(gone), true});
        } else {
            footprints_[f].lines = std::move(kept);
            waiting_.push_back({newFootprint(transfer, gone), true, gone, true});
        }
    }
    if (openMissing.empty()) return;
    std::sort(openMissing.begin(), openMissing.end());
    std::size_t target = 0;
    if (openLast && !presentIn(present, footprints_[*openLast].uuid)) {
        target = *openLast;
        std::vector<std::size_t>& held = footprints_[target].lines;
        held.insert(held.end(), openMissing.begin(), openMissing.end());
        std::sort(held.begin(), held.end());
    } else {
        target = newFootprint(*openTransfer_, openMissing);
    }
    waiting_.push_back({target, true, std::move(openMissing), false});
}

}  // namespace bitlay::kicad
