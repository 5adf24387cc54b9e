#pragma once

// The thread a design sends its transfers with, and the lock it shares with the caller.
//
// The caller adds lines under the lock and says when it leaves the library; the thread sleeps
// until something is due, and ends the open transfer once the caller has been away for the quiet,
// or when the design lets go. A caller that is still running then, or waiting for a processor on
// a busy machine, has not gone away: its quiet starts again. Only a caller that sleeps (in its
// event loop, say) ends a transfer. A design's own steps run on the thread with the lock held;
// they may let go of it while they wait for the editor.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "dbx-kicad/transfer_timer.h"

namespace bitlay::kicad {

class SenderLoop final {
  public:
    class Steps {
      public:
        // Work the design has before the transfer's end (the live design opens a commit);
        // true when there was some.
        virtual bool workDue(std::unique_lock<std::mutex>& lock) = 0;
        // The open transfer is over; the timer already counts it ended.
        virtual void endTransfer(std::unique_lock<std::mutex>& lock) = 0;
        // The thread did not finish within the wait stop() allowed: whatever it waits for
        // is given up.
        virtual void giveUp() noexcept {}

      protected:
        ~Steps() = default;
    };

    explicit SenderLoop(std::chrono::milliseconds quietBeforeEnd) noexcept
        : timer_(quietBeforeEnd) {}
    SenderLoop(const SenderLoop&) = delete;
    SenderLoop& operator=(const SenderLoop&) = delete;
    ~SenderLoop() { stop(std::chrono::milliseconds::max()); }

    // Starts the thread; `steps` outlives it.
    void start(Steps& steps);

    // Ends the open transfer and the thread. The thread has `wait` to finish; then its steps give
    // up what they wait for, and it is joined.
    void stop(std::chrono::milliseconds wait);

    // Under the lock.
    std::mutex& mutex() noexcept { return mutex_; }
    TransferTimer& timer() noexcept { return timer_; }
    // The calling thread leaves the library now.
    void callerLeft() noexcept;
    // Wakes the thread: a transfer began, or work is due.
    void wake() noexcept { wake_.notify_one(); }

  private:
    void run(Steps& steps);

    std::mutex mutex_;
    std::condition_variable wake_;      // the thread: work, a transfer, or the stop
    std::condition_variable finished_;  // stop(): the thread is done
    TransferTimer timer_;
    pid_t caller_ = 0;  // the thread that left last
    bool stopping_ = false;
    bool done_ = false;
    Steps* steps_ = nullptr;
    std::thread thread_;
};

}  // namespace bitlay::kicad
