#include "dbx-kicad/live/live_design.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

#include "dbx-kicad/api/kicad_ipc.h"
#include "dbx-kicad/api/proto/common_commands.pb.h"
#include "dbx-kicad/kicad_text/uuids.h"
#include "dbx-kicad/live/board_commits.h"
#include "dbx-kicad/live/kicad_calls.h"
#include "dbx-kicad/live/kicad_replies.h"
#include "dbx-kicad/live/transfer_footprint.h"
#include "dbx-kicad/sender_loop.h"
#include "dbx-kicad/status.h"

namespace bitlay::kicad {

namespace cmd = kiapi::common::commands;
namespace types = kiapi::common::types;

namespace {

// Where the transfer open at the moment stands.
enum class Phase {
    kNone,       // no transfer is open
    kBeginning,  // its first line waits for KiCad to open the commit
    kOpen,       // the commit is open: the lines gather in the transfer's footprint
    kRefused,    // KiCad could not take the transfer when it began: every line is refused
};

// Each transfer is one footprint holding its lines, created in one commit of its own: one undo
// step, one object in KiCad. The caller's lines gather in the footprint while it scans; once the
// caller has been away for the quiet, a thread of the design hands the footprint to KiCad,
// however long KiCad takes, and ends the commit. A transfer's first line waits for KiCad to open
// the commit, so that a KiCad that cannot take the transfer (a tool active, a dialog open)
// refuses all of it, and a line reported placed is one KiCad has a commit for. Every call to
// KiCad is made by that thread with no lock held that the caller waits on.
class LiveDesign final : public Design, private SenderLoop::Steps {
  public:
    LiveDesign(std::unique_ptr<KicadIpc> ipc, types::DocumentSpecifier board,
               std::vector<int> apiLayers, std::vector<LayerName> names, UniqueFd lock,
               const LivePolicy& policy)
        : ipc_(std::move(ipc)),
          board_(std::move(board)),
          apiLayers_(std::move(apiLayers)),
          lock_(std::move(lock)),
          commits_(*ipc_, board_),
          policy_(policy),
          loop_(policy.quietBeforeEnd) {
        layerNames_ = std::move(names);
        loop_.start(*this);
    }

    ~LiveDesign() override { loop_.stop(std::chrono::milliseconds::zero()); }

    DbxStatusCode placeLine(const BoardLine& line) override {
        std::unique_lock<std::mutex> lock(loop_.mutex());
        if (failure_ == status::kOk && ipc_->gone()) fail(status::kServerTerminated);
        if (failure_ != status::kOk) return failure_;

        TransferTimer& timer = loop_.timer();
        const bool first = !timer.transferOpen();
        timer.lineAdded();
        if (first) beginTransfer(lock);
        DbxStatusCode result = refusal_;
        if (phase_ == Phase::kOpen) {
            footprint_->addLine(line, apiLayers_[line.layer]);
            result = status::kOk;
        }
        loop_.callerLeft();
        if (first) loop_.wake();
        return result;
    }

    DbxStatusCode close() override {
        loop_.stop(policy_.closeWait);
        ipc_->close();
        lock_.reset();
        return undelivered_ ? failure_ : status::kOk;
    }

  private:
    // The caller, lock held: the thread asks KiCad for the commit; a KiCad that does not answer
    // in time, or that says it cannot take it, refuses the whole transfer.
    void beginTransfer(std::unique_lock<std::mutex>& lock) {
        phase_ = Phase::kBeginning;
        refusal_ = status::kOk;
        loop_.wake();
        if (!changed_.wait_for(lock, policy_.callerWait,
                               [this] { return phase_ != Phase::kBeginning; })) {
            phase_ = Phase::kRefused;
            refusal_ = status::kNoConnection;
        }
    }

    bool workDue(std::unique_lock<std::mutex>& lock) override {
        if (phase_ != Phase::kBeginning) return false;
        openCommit(lock);
        return true;
    }

    // The call in flight is given up: the close has waited long enough.
    void giveUp() noexcept override { ipc_->abort(); }

    // The thread: KiCad keeps one open commit per client name, and a Bitlay that died with
    // one open would keep every later one out, so the first commit of an attachment ends
    // whatever an earlier one left (its lines never reached the board and stay out of it).
    void openCommit(std::unique_lock<std::mutex>& lock) {
        lock.unlock();
        if (!leftoverDropped_) leftoverDropped_ = !notReady(commits_.drop());
        OpenedCommit commit = commits_.begin();
        lock.lock();
        if (phase_ != Phase::kBeginning) {
            // The caller gave up waiting: nothing may go into this commit.
            if (commit.call.ok()) {
                lock.unlock();
                commits_.drop();
                lock.lock();
            }
            return;
        }
        if (commit.call.ok()) {
            commitId_ = std::move(commit.id);
            footprint_ = std::make_unique<TransferFootprint>(uuids_);
            phase_ = Phase::kOpen;
        } else {
            refusal_ = statusOf(commit.call);
            if (refusal_ == status::kServerTerminated) fail(refusal_);
            phase_ = Phase::kRefused;
        }
        changed_.notify_all();
    }

    // The thread, lock held on entry and on return: the transfer is over; its footprint goes to
    // KiCad while the caller may already begin the next one.
    void endTransfer(std::unique_lock<std::mutex>& lock) override {
        const Phase phase = phase_;
        std::unique_ptr<TransferFootprint> footprint = std::move(footprint_);
        const std::string commitId = std::move(commitId_);
        phase_ = Phase::kNone;
        refusal_ = status::kOk;
        if (phase != Phase::kOpen) return;
        const auto& message = footprint->finish();
        lock.unlock();
        const DbxStatusCode delivered = commits_.deliver(message, footprint->lines(), commitId);
        lock.lock();
        if (delivered != status::kOk) {
            fail(delivered);
            undelivered_ = true;
        }
    }

    void fail(DbxStatusCode code) noexcept {
        if (failure_ == status::kOk) failure_ = code;
        if (loop_.timer().linesInTransfer() > 0 && phase_ == Phase::kOpen) undelivered_ = true;
    }

    const std::unique_ptr<KicadIpc> ipc_;
    const types::DocumentSpecifier board_;
    const std::vector<int> apiLayers_;
    UniqueFd lock_;
    BoardCommits commits_;
    const LivePolicy policy_;
    bool leftoverDropped_ = false;  // the thread's own

    // Under the loop's lock.
    std::condition_variable changed_;  // the caller: the commit opened or was refused
    UuidGenerator uuids_;
    Phase phase_ = Phase::kNone;
    DbxStatusCode refusal_ = status::kOk;  // every line of a refused transfer gets it
    std::unique_ptr<TransferFootprint> footprint_;
    std::string commitId_;
    DbxStatusCode failure_ = status::kOk;  // once set, every later call returns it
    bool undelivered_ = false;             // some line reported placed never reached the board
    SenderLoop loop_;
};

}  // namespace

std::unique_ptr<Design> makeLiveDesign(std::unique_ptr<KicadIpc> ipc,
                                       types::DocumentSpecifier board, std::vector<int> apiLayers,
                                       std::vector<LayerName> names, UniqueFd lock,
                                       const LivePolicy& policy) {
    return std::make_unique<LiveDesign>(std::move(ipc), std::move(board), std::move(apiLayers),
                                        std::move(names), std::move(lock), policy);
}

}  // namespace bitlay::kicad
