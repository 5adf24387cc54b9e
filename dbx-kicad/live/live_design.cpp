#include "dbx-kicad/live/live_design.h"

#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "dbx-kicad/file/board_text.h"
#include "dbx-kicad/transfer_timer.h"
#include "dbx-kicad/api/kicad_ipc.h"
#include "dbx-kicad/api/proto/board_commands.pb.h"
#include "dbx-kicad/api/proto/board_types.pb.h"
#include "dbx-kicad/api/proto/common_commands.pb.h"
#include "dbx-kicad/status.h"

namespace bitlay::kicad {

namespace cmd = kiapi::common::commands;
namespace types = kiapi::common::types;
namespace board = kiapi::board;

using namespace std::chrono_literals;

namespace {

// Each request waits this long for its reply; a batch into a large board takes the longest.
constexpr auto kShortCallTimeout = 5s;
constexpr auto kLongCallTimeout = 30s;
// KiCad answers BUSY while an interactive tool is active and NOT_READY while a dialog is open;
// it has then done nothing, so the request is asked again, for this long at most.
constexpr auto kBusyWait = 2s;
constexpr auto kBusyPause = 50ms;
// The largest transfer whose lines become KiCad's selection when it ends.
constexpr std::size_t kSelectAtMost = 10000;
// One database unit is 10 nm.
constexpr std::int64_t kNanometresPerUnit = 10;

DbxStatusCode statusOf(const CallResult& result) noexcept {
    switch (result.outcome) {
        case CallOutcome::kOk:
            return status::kOk;
        case CallOutcome::kGone:
            return status::kServerTerminated;
        case CallOutcome::kNoServer:
        case CallOutcome::kTimedOut:
            return status::kNoConnection;
        case CallOutcome::kRefused:
            // The token of a KiCad that has since been restarted: the editor went away.
            if (result.apiStatus == api_status::kTokenMismatch) return status::kServerTerminated;
            if (result.apiStatus == api_status::kBusy ||
                result.apiStatus == api_status::kNotReady) {
                return status::kServerBusy;
            }
            return status::kServerError;
        case CallOutcome::kBadReply:
            return status::kBadServerData;
    }
    return status::kServerError;
}

bool notReady(const CallResult& result) noexcept {
    return result.outcome == CallOutcome::kRefused &&
           (result.apiStatus == api_status::kBusy || result.apiStatus == api_status::kNotReady);
}

// A call asked again while KiCad says it is busy or not ready, for `wait` at most.
CallResult callWhenReady(KicadIpc& ipc, const google::protobuf::Message& request,
                         google::protobuf::Message* response, std::chrono::milliseconds timeout,
                         std::chrono::milliseconds wait) {
    const auto giveUp = std::chrono::steady_clock::now() + wait;
    for (;;) {
        CallResult result = ipc.call(request, response, timeout);
        if (!notReady(result) || std::chrono::steady_clock::now() >= giveUp) return result;
        std::this_thread::sleep_for(kBusyPause);
    }
}

// An advisory lock beside KiCad's socket, held while a design is attached to that KiCad.
class EditorLock final {
  public:
    explicit EditorLock(int fd) noexcept : fd_(fd) {}
    EditorLock(const EditorLock&) = delete;
    EditorLock& operator=(const EditorLock&) = delete;
    ~EditorLock() {
        if (fd_ >= 0) ::close(fd_);
    }

  private:
    int fd_;
};

// Lines queued by the caller go out in batches from a thread of the design, one request on its
// way at a time, while the caller goes on filling the next batch: the scan and KiCad work side by
// side. A caller that fills a batch while the one before is still on its way waits for it.
class LiveDesign final : public Design {
  public:
    LiveDesign(std::unique_ptr<KicadIpc> ipc, types::DocumentSpecifier board,
               std::vector<int> apiLayers, std::vector<LayerName> names,
               std::unique_ptr<EditorLock> lock)
        : ipc_(std::move(ipc)),
          board_(std::move(board)),
          apiLayers_(std::move(apiLayers)),
          lock_(std::move(lock)) {
        layerNames_ = std::move(names);
        *filling_.mutable_header()->mutable_document() = board_;
        *outgoing_.mutable_header()->mutable_document() = board_;
        worker_ = std::thread([this] { run(); });
    }

    ~LiveDesign() override {
        stop();
        ipc_->close();
    }

    DbxStatusCode placeLine(const LineRecord& line) override {
        std::unique_lock<std::mutex> lock(mutex_);
        if (failure_ == status::kOk && ipc_->gone()) fail(status::kServerTerminated);
        if (failure_ != status::kOk) return failure_;

        board::types::BoardGraphicShape shape;
        // An item without an id costs KiCad a failed parse (an exception) before it invents one.
        char uuid[kUuidLength];
        uuids_.next(uuid);
        shape.mutable_id()->set_value(uuid, kUuidLength);
        if (batcher_.linesInTransfer() < kSelectAtMost) transferIds_.append(uuid, kUuidLength);
        shape.set_layer(static_cast<board::types::BoardLayer>(
            apiLayers_[static_cast<std::size_t>(line.layerId) - 1]));
        auto* stroke = shape.mutable_shape()->mutable_attributes()->mutable_stroke();
        stroke->mutable_width()->set_value_nm(line.width * kNanometresPerUnit);
        stroke->set_style(types::SLS_SOLID);
        auto* segment = shape.mutable_shape()->mutable_segment();
        segment->mutable_start()->set_x_nm(line.startX * kNanometresPerUnit);
        segment->mutable_start()->set_y_nm(-std::int64_t{line.startY} * kNanometresPerUnit);
        segment->mutable_end()->set_x_nm(line.endX * kNanometresPerUnit);
        segment->mutable_end()->set_y_nm(-std::int64_t{line.endY} * kNanometresPerUnit);
        filling_.add_items()->PackFrom(shape);

        const bool first = batcher_.queued() == 0;
        batcher_.lineQueued();
        if (batcher_.full()) {
            // A caller faster than KiCad waits until the worker takes the full batch, that is
            // until the batch before it is done with. That wait is KiCad's time, not the
            // caller's quiet: the commit's end is counted from the caller's return.
            wake_.notify_one();
            sent_.wait(lock, [this] { return !batcher_.full() || failure_ != status::kOk; });
            batcher_.callerLeft(TransferTimer::Clock::now());
            wake_.notify_one();
            return failure_;
        }
        batcher_.callerLeft(TransferTimer::Clock::now());
        if (first) wake_.notify_one();
        return status::kOk;
    }

    DbxStatusCode close() override {
        stop();
        ipc_->close();
        lock_.reset();
        return undelivered_ ? failure_ : status::kOk;
    }

  private:
    // The worker sends what is queued whenever nothing is on its way, and ends the commit once
    // the caller went quiet.
    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            const TransferTimer::Action action = batcher_.due(TransferTimer::Clock::now());
            if (action == TransferTimer::Action::kSendBatch) {
                sendBatch(lock);
                continue;
            }
            if (action == TransferTimer::Action::kEndTransfer || stopping_) {
                // What is left has gone out: the transfer's commit ends, or the design lets go.
                endCommit();
                if (stopping_) return;
                continue;
            }
            sleepUntilDue(batcher_, wake_, lock);
        }
    }

    void stop() {
        {
            const std::lock_guard<std::mutex> guard(mutex_);
            stopping_ = true;
        }
        wake_.notify_one();
        if (worker_.joinable()) worker_.join();
    }

    void fail(DbxStatusCode code) {
        if (failure_ == status::kOk) failure_ = code;
        if (batcher_.linesInTransfer() > 0) undelivered_ = true;
        sent_.notify_all();
    }

    // The worker, mutex held on entry and on return: the queued lines become the batch on its
    // way, and the mutex is let go while KiCad works on it, so that the caller can fill the next.
    void sendBatch(std::unique_lock<std::mutex>& lock) {
        filling_.mutable_items()->Swap(outgoing_.mutable_items());
        batcher_.batchSent();
        sent_.notify_all();
        if (failure_ == status::kOk && commitId_.empty()) beginCommit();
        if (failure_ == status::kOk) {
            cmd::CreateItemsResponse response;
            lock.unlock();
            const CallResult result =
                callWhenReady(*ipc_, outgoing_, &response, kLongCallTimeout, kBusyWait);
            lock.lock();
            if (!result.ok()) {
                fail(statusOf(result));
            } else if (response.status() != types::IRS_OK ||
                       response.created_items_size() != outgoing_.items_size()) {
                fail(status::kServerError);
            } else {
                for (const auto& created : response.created_items()) {
                    if (created.status().code() != cmd::ISC_OK) {
                        fail(status::kServerError);
                        break;
                    }
                }
            }
        } else {
            fail(failure_);
        }
        outgoing_.clear_items();
    }

    void beginCommit() {
        // KiCad 10.0.7 and later tie the commit to the board named in the header; earlier ones
        // skip the field.
        cmd::BeginCommit request;
        *request.mutable_header()->mutable_document() = board_;
        cmd::BeginCommitResponse response;
        const CallResult result =
            callWhenReady(*ipc_, request, &response, kShortCallTimeout, kBusyWait);
        if (!result.ok()) {
            fail(statusOf(result));
            return;
        }
        commitId_ = response.id().value();
    }

    // Mutex held; the caller waits meanwhile. After a refusal what KiCad took so far is still
    // committed: those lines were reported placed.
    void endCommit() {
        if (!batcher_.transferOpen()) return;
        if (!commitId_.empty() && !ipc_->gone()) {
            cmd::EndCommit request;
            request.mutable_id()->set_value(commitId_);
            request.set_action(cmd::CMA_COMMIT);
            request.set_message(transferName(batcher_.linesInTransfer()));
            *request.mutable_header()->mutable_document() = board_;
            const CallResult result =
                callWhenReady(*ipc_, request, nullptr, kLongCallTimeout, kBusyWait);
            if (result.ok()) {
                selectTransfer();
            } else {
                fail(statusOf(result));
            }
        } else if (ipc_->gone()) {
            fail(status::kServerTerminated);
        }
        commitId_.clear();
        transferIds_.clear();
        batcher_.transferEnded();
    }

    // The transfer's lines become KiCad's selection, so that the logo moves and goes as one, and
    // nothing else stays selected. Not
    // KiCad's group: KiCad 9's API has none, and KiCad 10.0.7 looks a new group's members up on
    // the board, where lines of the same commit are not yet. KiCad adds to its selection one
    // item at a time into a sorted list, dearer with every item already in it, so a large
    // transfer only clears the selection (see kSelectAtMost). A selection KiCad refuses (an interactive
    // tool active) changes nothing else.
    void selectTransfer() {
        cmd::ClearSelection clear;
        *clear.mutable_header()->mutable_document() = board_;
        if (!ipc_->call(clear, nullptr, kShortCallTimeout).ok()) return;
        const std::size_t lines = batcher_.linesInTransfer();
        if (lines > kSelectAtMost) return;
        cmd::AddToSelection select;
        *select.mutable_header()->mutable_document() = board_;
        for (std::size_t at = 0; at < transferIds_.size(); at += kUuidLength) {
            select.add_items()->set_value(transferIds_.data() + at, kUuidLength);
        }
        ipc_->call(select, nullptr, kLongCallTimeout);
    }

    std::unique_ptr<KicadIpc> ipc_;
    const types::DocumentSpecifier board_;
    const std::vector<int> apiLayers_;
    std::unique_ptr<EditorLock> lock_;

    std::mutex mutex_;              // everything below but outgoing_ while the worker sends it
    std::condition_variable wake_;  // the worker: something to send, or a deadline moved
    std::condition_variable sent_;  // the caller: the worker took the queued lines
    TransferTimer batcher_;
    cmd::CreateItems filling_;   // the lines queued since the last batch left
    cmd::CreateItems outgoing_;  // the batch on its way
    UuidGenerator uuids_;
    std::string commitId_;
    std::string transferIds_;  // the ids of the transfer's lines while it may still be selected
    DbxStatusCode failure_ = status::kOk;  // once set, every later call returns it
    bool undelivered_ = false;             // some queued line never reached a finished commit
    bool stopping_ = false;
    std::thread worker_;
};

// The lock file beside KiCad's socket; null with 32106 when another attachment holds it, 32008
// when it is a link or someone else's file.
DbxStatusCode lockEditor(const std::string& url, std::unique_ptr<EditorLock>& lock) {
    const LockFile file = openEditorLock(socketPath(url), ::geteuid());
    if (file.refused) return status::kSecurityError;
    const int fd = file.fd;
    if (fd < 0) return status::kServerError;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return status::kServerBusy;
    }
    lock = std::make_unique<EditorLock>(fd);
    return status::kOk;
}

// Where a layer stands in the editor's own lists (its layer manager, the layers section of the
// board files it writes): copper from top to bottom, then front before back in each technical
// pair. The API hands the enabled layers over in its internal numbering instead.
int editorRank(int apiLayer) noexcept {
    if (apiLayer >= 3 && apiLayer <= 34) return apiLayer - 3;  // F.Cu, In1.Cu ... In30.Cu, B.Cu
    if (apiLayer >= 35 && apiLayer <= 42) return apiLayer % 2 == 0 ? apiLayer - 4 : apiLayer - 2;
    if (apiLayer >= 43 && apiLayer <= 48) return apiLayer - 3;  // Dwgs.User ... Margin
    if (apiLayer >= 49 && apiLayer <= 52) return apiLayer % 2 == 0 ? apiLayer - 4 : apiLayer - 2;
    if (apiLayer >= 53 && apiLayer <= 61) return apiLayer - 3;  // User.1 ... User.9
    if (apiLayer >= 63 && apiLayer <= 98) return apiLayer - 4;  // User.10 ... User.45
    return 1000 + apiLayer;                                     // Rescue, anything newer
}


// The board's enabled layers in the editor's order with KiCad's names for them, asked layer by
// layer (KiCad 9.0.5 and later).
CallResult askLayers(KicadIpc& ipc, const types::DocumentSpecifier& board,
                     std::vector<int>& apiLayers, std::vector<LayerName>& names) {
    const auto readyWait = std::chrono::milliseconds(kReadyWaitMilliseconds);
    board::commands::GetBoardEnabledLayers layersQuery;
    *layersQuery.mutable_board() = board;
    board::commands::BoardEnabledLayersResponse enabled;
    CallResult result = callWhenReady(ipc, layersQuery, &enabled, kShortCallTimeout, readyWait);
    if (!result.ok()) return result;

    apiLayers.assign(enabled.layers().begin(), enabled.layers().end());
    std::stable_sort(apiLayers.begin(), apiLayers.end(),
                     [](int a, int b) { return editorRank(a) < editorRank(b); });
    for (const int layer : apiLayers) {
        const std::string canonical = canonicalLayerName(layer);
        if (canonical.empty()) return {CallOutcome::kBadReply, 0, "a layer KiCad 9 does not have"};
        board::commands::GetBoardLayerName nameQuery;
        *nameQuery.mutable_board() = board;
        nameQuery.set_layer(static_cast<board::types::BoardLayer>(layer));
        board::commands::BoardLayerNameResponse name;
        result = callWhenReady(ipc, nameQuery, &name, kShortCallTimeout, readyWait);
        if (!result.ok()) return result;
        names.push_back(makeLayerName(canonical, name.name()));
    }
    return result;
}

// The same list read from the board as KiCad would save it, for the KiCads that cannot be asked
// (9.0.0 to 9.0.4): its layers section lists the enabled layers in the editor's order, each with
// the name KiCad shows where that differs from the canonical one.
CallResult readLayers(KicadIpc& ipc, const types::DocumentSpecifier& board,
                      std::vector<int>& apiLayers, std::vector<LayerName>& names) {
    cmd::SaveDocumentToString query;
    *query.mutable_document() = board;
    cmd::SavedDocumentResponse saved;
    const CallResult result = callWhenReady(ipc, query, &saved, kLongCallTimeout,
                                            std::chrono::milliseconds(kReadyWaitMilliseconds));
    if (!result.ok()) return result;
    const BoardOutline outline = readBoardOutline(saved.contents());
    if (outline.result != BoardReadResult::kOk || outline.layers.empty()) {
        return {CallOutcome::kBadReply, 0, "the board KiCad saved has no layers section"};
    }
    for (const BoardLayer& layer : outline.layers) {
        const int apiLayer = apiLayerNumber(layer.canonicalName);
        if (apiLayer == 0) return {CallOutcome::kBadReply, 0, "a layer KiCad 9 does not have"};
        apiLayers.push_back(apiLayer);
        names.push_back(makeLayerName(layer.canonicalName, layer.userName));
    }
    return result;
}

DbxStatusCode listLayers(KicadIpc& ipc, const types::DocumentSpecifier& board,
                         std::vector<int>& apiLayers, std::vector<LayerName>& names) {
    CallResult result = askLayers(ipc, board, apiLayers, names);
    if (result.outcome == CallOutcome::kRefused && result.apiStatus == api_status::kUnhandled) {
        apiLayers.clear();
        names.clear();
        result = readLayers(ipc, board, apiLayers, names);
    }
    return statusOf(result);
}

}  // namespace

std::string canonicalLayerName(int apiLayer) {
    static const std::array<const char*, 28> kFixed = {
        "B.Cu",   "B.Adhes", "F.Adhes",   "B.Paste",   "F.Paste",   "B.SilkS",   "F.SilkS",
        "B.Mask", "F.Mask",  "Dwgs.User", "Cmts.User", "Eco1.User", "Eco2.User", "Edge.Cuts",
        "Margin", "B.CrtYd", "F.CrtYd",   "B.Fab",     "F.Fab",     "User.1",    "User.2",
        "User.3", "User.4",  "User.5",    "User.6",    "User.7",    "User.8",    "User.9"};
    if (apiLayer == 3) return "F.Cu";
    if (apiLayer >= 4 && apiLayer <= 33) return "In" + std::to_string(apiLayer - 3) + ".Cu";
    if (apiLayer >= 34 && apiLayer <= 61) return kFixed[static_cast<std::size_t>(apiLayer - 34)];
    if (apiLayer == 62) return "Rescue";
    if (apiLayer >= 63 && apiLayer <= 98) return "User." + std::to_string(apiLayer - 53);
    return {};
}

int apiLayerNumber(std::string_view canonicalName) {
    for (int layer = 3; layer <= 98; ++layer) {
        if (canonicalLayerName(layer) == canonicalName) return layer;
    }
    return 0;
}

LiveAttachment openLiveDesign(const EditorSocket& socket, std::unique_ptr<Design>& design) {
    const std::string& url = socket.url;
    auto ipc = std::make_unique<KicadIpc>();
    if (!ipc->connect(url, socket.token).ok()) return {false, status::kOk};

    const auto readyWait = std::chrono::milliseconds(kReadyWaitMilliseconds);
    cmd::GetVersionResponse version;
    CallResult result =
        callWhenReady(*ipc, cmd::GetVersion{}, &version, kShortCallTimeout, readyWait);
    if (!result.ok()) return {true, statusOf(result)};
    if (version.version().major() < 9) return {true, status::kVersionIncompatible};

    cmd::GetOpenDocuments query;
    query.set_type(types::DOCTYPE_PCB);
    cmd::GetOpenDocumentsResponse documents;
    result = callWhenReady(*ipc, query, &documents, kShortCallTimeout, readyWait);
    // The project manager answers UNHANDLED until its board editor is open: no board there.
    if (result.outcome == CallOutcome::kRefused && result.apiStatus == api_status::kUnhandled) {
        return {false, status::kOk};
    }
    if (!result.ok()) return {true, statusOf(result)};
    if (documents.documents_size() == 0) return {false, status::kOk};
    const types::DocumentSpecifier board = documents.documents(0);

    std::unique_ptr<EditorLock> lock;
    if (const DbxStatusCode locked = lockEditor(url, lock); locked != status::kOk) {
        return {true, locked};
    }

    std::vector<int> apiLayers;
    std::vector<LayerName> names;
    if (const DbxStatusCode listed = listLayers(*ipc, board, apiLayers, names);
        listed != status::kOk) {
        return {true, listed};
    }

    design = std::make_unique<LiveDesign>(std::move(ipc), board, std::move(apiLayers),
                                          std::move(names), std::move(lock));
    return {true, status::kOk};
}

}  // namespace bitlay::kicad
