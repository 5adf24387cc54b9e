#include "dbx-kicad/sender_loop.h"

#include <unistd.h>

#include <fstream>
#include <string>

namespace bitlay::kicad {

namespace {

// Whether the thread `tid` of this process is running or waiting for a processor (state R); a
// thread that sleeps, or is gone, is not.
bool runnable(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string text;
    if (!std::getline(stat, text)) return false;
    // The command name in parentheses may hold anything; the state follows the last ')'.
    const auto end = text.rfind(')');
    return end != std::string::npos && end + 2 < text.size() && text[end + 2] == 'R';
}

}  // namespace

void SenderLoop::callerLeft() noexcept {
    caller_ = gettid();
    timer_.callerLeft(TransferTimer::Clock::now());
}

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
        const auto now = TransferTimer::Clock::now();
        if (timer_.transferOpen() && (stopping_ || timer_.endDue(now))) {
            if (!stopping_ && runnable(caller_)) {
                timer_.callerLeft(now);  // still at work: the quiet counts from now
                continue;
            }
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
