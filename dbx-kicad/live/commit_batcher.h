#pragma once

// When the lines of a live transfer go out, and when the transfer is over.
//
// DBX has no call that ends a transfer, yet all of one transfer belongs in one commit (one undo
// step in the editor) and the editor handles a request of a thousand lines about as fast as one
// of one line. So queued lines go out in batches: when a batch is full or its oldest line a few
// milliseconds old. The commit ends once the caller has been away from the library for a while:
// only time outside counts, since a caller waiting inside for the editor has not stopped. A
// transfer hands its lines over continuously (a row of the picture without runs takes well under
// a millisecond), so a short quiet is enough. This class only keeps the time; the caller passes
// the clock's readings, so tests drive it exactly.

#include <chrono>
#include <cstddef>
#include <optional>

namespace bitlay::kicad {

struct BatchPolicy {
    std::size_t maxLines = 2000;
    std::chrono::milliseconds maxAge{5};
    std::chrono::milliseconds idleBeforeCommitEnd{50};
};

class CommitBatcher final {
  public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;

    enum class Action { kNone, kSendBatch, kEndCommit };

    explicit CommitBatcher(BatchPolicy policy = {}) noexcept : policy_(policy) {}

    // One more line queued at `now` by a caller inside the library; it opens a commit when none
    // is open. The commit cannot end before the caller has left again.
    void lineQueued(TimePoint now) noexcept;

    // The caller left the library at `now`; from then on its quiet counts.
    void callerLeft(TimePoint now) noexcept;

    // What is due at `now`: a batch before the commit's end, never the end while lines wait.
    Action due(TimePoint now) const noexcept;

    // When due() next turns from kNone to something else; none while nothing is pending or only
    // the commit's end is, with the caller inside.
    std::optional<TimePoint> nextDeadline() const noexcept;

    // The queued lines went out (or were given up); the commit stays open.
    void batchSent() noexcept;

    // The commit ended (or was given up); the count starts again.
    void commitEnded() noexcept;

    std::size_t queued() const noexcept { return queued_; }
    bool commitOpen() const noexcept { return commitOpen_; }
    // Lines queued since the commit opened, for the commit's message.
    std::size_t linesInCommit() const noexcept { return linesInCommit_; }
    const BatchPolicy& policy() const noexcept { return policy_; }

  private:
    BatchPolicy policy_;
    std::size_t queued_ = 0;
    std::size_t linesInCommit_ = 0;
    bool commitOpen_ = false;
    bool callerInside_ = false;
    TimePoint oldestQueued_{};
    TimePoint callerLeft_{};
};

}  // namespace bitlay::kicad
