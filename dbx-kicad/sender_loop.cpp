#include "dbx-kicad/sender_loop.h"

namespace bitlay::kicad {

void SenderLoop::start(Steps& steps) {
    steps_ = &steps;
    thread_ = std::thread([this, &steps] { run(steps); });
}

void SenderLoop::stop(std::chrono::milliseconds wait) {
    if (!thread_.joinable()) return;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        stopping_ = true;
        wake_.notify_one();
        if (wait != std::chrono::milliseconds::max()) {
            if (!finished_.wait_for(lock, wait, [this] { return done_; })) steps_->giveUp();
        }
    }
    thread_.join();
}

void SenderLoop::run(Steps& steps) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (!stopping_ && steps.workDue(lock)) continue;
        if (timer_.transferOpen() && (stopping_ || timer_.endDue(TransferTimer::Clock::now()))) {
            timer_.transferEnded();
            steps.endTransfer(lock);
            continue;
        }
        if (stopping_) break;
        if (const auto deadline = timer_.nextDeadline()) {
            wake_.wait_until(lock, *deadline);
        } else {
            wake_.wait(lock);
        }
    }
    done_ = true;
    finished_.notify_all();
}

}  // namespace bitlay::kicad
