#include "dbx-kicad/live/commit_batcher.h"

namespace bitlay::kicad {

void CommitBatcher::lineQueued() noexcept {
    ++queued_;
    ++linesInCommit_;
    commitOpen_ = true;
    callerInside_ = true;
}

void CommitBatcher::callerLeft(TimePoint now) noexcept {
    callerInside_ = false;
    callerLeft_ = now;
}

CommitBatcher::Action CommitBatcher::due(TimePoint now) const noexcept {
    if (queued_ > 0) return Action::kSendBatch;
    if (commitOpen_ && !callerInside_ && now - callerLeft_ >= policy_.idleBeforeCommitEnd) {
        return Action::kEndCommit;
    }
    return Action::kNone;
}

std::optional<CommitBatcher::TimePoint> CommitBatcher::nextDeadline() const noexcept {
    if (queued_ == 0 && commitOpen_ && !callerInside_) return callerLeft_ + policy_.idleBeforeCommitEnd;
    return std::nullopt;
}

void CommitBatcher::batchSent() noexcept { queued_ = 0; }

void CommitBatcher::commitEnded() noexcept {
    queued_ = 0;
    linesInCommit_ = 0;
    commitOpen_ = false;
}

}  // namespace bitlay::kicad
