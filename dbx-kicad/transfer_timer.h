#pragma once

// When a transfer's lines go out, and when the transfer is over.
//
// DBX has no call that ends a transfer, yet all of one transfer belongs together: in one commit
// (one undo step) of a running editor, in one group of a board file. The transfer is over once
// the caller has been away from the library for a while: only time outside counts, since a caller
// waiting inside for the editor has not stopped. A transfer hands its lines over continuously (a
// row of the picture without runs takes well under a millisecond), so a short quiet is enough.
//
// The live design sends its lines in batches, since the editor handles a request of a thousand
// lines about as fast as one of one line: whatever is queued goes as soon as the editor is free,
// so batches grow to match the editor's pace and the last lines of a transfer leave at once; a
// caller that fills a batch while the editor is still busy waits. A design that writes each line
// at once counts it sent right away.
//
// This class only keeps the time; the caller passes the clock's readings, so tests drive it
// exactly.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>

namespace bitlay::kicad {

struct TransferPolicy {
    std::size_t maxLines = 2000;
    std::chrono::milliseconds quietBeforeEnd{30};
};

class TransferTimer final {
  public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;

    enum class Action { kNone, kSendBatch, kEndTransfer };

    explicit TransferTimer(TransferPolicy policy = {}) noexcept : policy_(policy) {}

    // One more line queued by a caller inside the library; it opens a transfer when none is
    // open. The transfer cannot end before the caller has left again.
    void lineQueued() noexcept;

    // The caller left the library at `now`; from then on its quiet counts.
    void callerLeft(TimePoint now) noexcept;

    // True when the queued lines fill a batch: the caller hands them over, waiting for the batch
    // on its way if need be.
    bool full() const noexcept { return queued_ >= policy_.maxLines; }

    // What is due at `now` for a sender with nothing on its way: the queued lines, or once none
    // are queued and the caller has been away long enough, the transfer's end.
    Action due(TimePoint now) const noexcept;

    // When due() next turns from kNone to kEndTransfer; none while lines are queued, no transfer
    // is open, or the caller is inside.
    std::optional<TimePoint> nextDeadline() const noexcept;

    // The queued lines went out (or were given up); the transfer goes on.
    void batchSent() noexcept;

    // The transfer ended (or was given up); the count starts again.
    void transferEnded() noexcept;

    std::size_t queued() const noexcept { return queued_; }
    bool transferOpen() const noexcept { return transferOpen_; }
    // Lines queued since the transfer began, for its commit's message or its group's name.
    std::size_t linesInTransfer() const noexcept { return linesInTransfer_; }
    const TransferPolicy& policy() const noexcept { return policy_; }

  private:
    TransferPolicy policy_;
    std::size_t queued_ = 0;
    std::size_t linesInTransfer_ = 0;
    bool transferOpen_ = false;
    bool callerInside_ = false;
    TimePoint callerLeft_{};
};

// A sender thread's sleep: on `wake`, until `timer`'s next deadline, or until woken when there is
// none.
void sleepUntilDue(const TransferTimer& timer, std::condition_variable& wake,
                   std::unique_lock<std::mutex>& lock);

}  // namespace bitlay::kicad
