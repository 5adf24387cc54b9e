#pragma once

// When a transfer is over.
//
// DBX has no call that ends a transfer, yet all of one transfer belongs together: in one commit
// (one undo step) of a running editor, in one footprint of a board file. The transfer is over
// once the caller has been away from the library for a while: only time outside counts, since a
// caller waiting inside for the editor has not stopped. A transfer hands its lines over
// continuously (a row of the picture without runs takes well under a millisecond), so a short
// quiet is enough.
//
// This class only keeps the time; the caller passes the clock's readings, so tests drive it
// exactly.

#include <chrono>
#include <cstddef>
#include <optional>

namespace bitlay::kicad {

class TransferTimer final {
  public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;

    explicit TransferTimer(std::chrono::milliseconds quietBeforeEnd) noexcept
        : quietBeforeEnd_(quietBeforeEnd) {}

    // One more line from a caller inside the library; it opens a transfer when none is open. The
    // transfer cannot end before the caller has left again.
    void lineAdded() noexcept;

    // The caller left the library at `now`; from then on its quiet counts.
    void callerLeft(TimePoint now) noexcept;

    // Whether the open transfer is over at `now`: the caller has been away long enough.
    bool endDue(TimePoint now) const noexcept;

    // When endDue() next turns true; none while no transfer is open or the caller is inside.
    std::optional<TimePoint> nextDeadline() const noexcept;

    // The transfer ended (or was given up); the count starts again.
    void transferEnded() noexcept;

    bool transferOpen() const noexcept { return transferOpen_; }
    // Lines added since the transfer began, for its commit's message or its footprint's name.
    std::size_t linesInTransfer() const noexcept { return linesInTransfer_; }

  private:
    std::chrono::milliseconds quietBeforeEnd_;
    std::size_t linesInTransfer_ = 0;
    bool transferOpen_ = false;
    bool callerInside_ = false;
    TimePoint callerLeft_{};
};

}  // namespace bitlay::kicad
