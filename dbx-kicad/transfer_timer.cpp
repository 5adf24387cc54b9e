#include "dbx-kicad/transfer_timer.h"

namespace bitlay::kicad {

void TransferTimer::lineQueued() noexcept {
    ++queued_;
    ++linesInTransfer_;
    transferOpen_ = true;
    callerInside_ = true;
}

void TransferTimer::callerLeft(TimePoint now) noexcept {
    callerInside_ = false;
    callerLeft_ = now;
}

TransferTimer::Action TransferTimer::due(TimePoint now) const noexcept {
    if (queued_ > 0) return Action::kSendBatch;
    if (transferOpen_ && !callerInside_ && now - callerLeft_ >= policy_.quietBeforeEnd) {
        return Action::kEndTransfer;
    }
    return Action::kNone;
}

std::optional<TransferTimer::TimePoint> TransferTimer::nextDeadline() const noexcept {
    if (queued_ == 0 && transferOpen_ && !callerInside_)
        return callerLeft_ + policy_.quietBeforeEnd;
    return std::nullopt;
}

void TransferTimer::batchSent() noexcept { queued_ = 0; }

void TransferTimer::transferEnded() noexcept {
    queued_ = 0;
    linesInTransfer_ = 0;
    transferOpen_ = false;
}

void sleepUntilDue(const TransferTimer& timer, std::condition_variable& wake,
                   std::unique_lock<std::mutex>& lock) {
    if (const auto deadline = timer.nextDeadline()) {
        wake.wait_until(lock, *deadline);
    } else {
        wake.wait(lock);
    }
}

}  // namespace bitlay::kicad
