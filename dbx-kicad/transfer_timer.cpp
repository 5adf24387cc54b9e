#include "dbx-kicad/transfer_timer.h"

namespace bitlay::kicad {

void TransferTimer::lineAdded() noexcept {
    ++linesInTransfer_;
    transferOpen_ = true;
    callerInside_ = true;
}

void TransferTimer::callerLeft(TimePoint now) noexcept {
    callerInside_ = false;
    callerLeft_ = now;
}

bool TransferTimer::endDue(TimePoint now) const noexcept {
    return transferOpen_ && !callerInside_ && now - callerLeft_ >= quietBeforeEnd_;
}

std::optional<TransferTimer::TimePoint> TransferTimer::nextDeadline() const noexcept {
    if (transferOpen_ && !callerInside_) return callerLeft_ + quietBeforeEnd_;
    return std::nullopt;
}

void TransferTimer::transferEnded() noexcept {
    linesInTransfer_ = 0;
    transferOpen_ = false;
}

}  // namespace bitlay::kicad
