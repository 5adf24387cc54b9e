// The live design's threads against a KiCad played in this process: an nng reply socket that
// answers the requests the design makes, as slowly or as busily as a case wants, and keeps a log
// of them. Real KiCads are the live tests' business; here the order of the calls, the waits and
// the refusals are exact, and ThreadSanitizer watches the design's threads.

#include "dbx-kicad/live/live_design.h"

#include <gtest/gtest.h>
#include <nng/nng.h>
#include <nng/protocol/reqrep0/rep.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dbx-kicad/api/kicad_ipc.h"
#include "dbx-kicad/api/proto/board_types.pb.h"
#include "dbx-kicad/api/proto/common_commands.pb.h"
#include "dbx-kicad/api/proto/envelope.pb.h"
#include "dbx-kicad/status.h"

namespace bitlay::kicad {
namespace {

namespace cmd = kiapi::common::commands;
using namespace std::chrono_literals;

// What a fake KiCad does with one request: how long it takes, and the status it answers.
struct Answer {
    std::chrono::milliseconds delay{0};
    kiapi::common::ApiStatusCode status = kiapi::common::AS_OK;
};

class FakeKicad {
  public:
    FakeKicad() : url_("ipc:///tmp/bitlay-fake-kicad-" + std::to_string(getpid()) + ".sock") {
        if (nng_rep0_open(&socket_) != 0 || nng_listen(socket_, url_.c_str(), nullptr, 0) != 0) {
            ADD_FAILURE() << "the fake KiCad cannot listen at " << url_;
            return;
        }
        nng_socket_set_ms(socket_, NNG_OPT_RECVTIMEO, 20);
        server_ = std::thread([this] { serve(); });
    }
    ~FakeKicad() {
        stop_ = true;
        if (server_.joinable()) server_.join();
        nng_close(socket_);
    }

    const std::string& url() const { return url_; }

    // How the next requests of a kind ("BeginCommit", "CreateItems", ...) are answered.
    void answer(const std::string& kind, Answer answer) {
        const std::lock_guard<std::mutex> guard(mutex_);
        answers_.push_back({kind, answer});
    }

    // One entry per request: its kind, and for a footprint its line count, for a commit's end
    // its action and commit.
    std::vector<std::string> log() const {
        const std::lock_guard<std::mutex> guard(mutex_);
        return log_;
    }

    // Requests received so far, answered or not.
    int received() const { return received_.load(); }

  private:
    void serve() {
        while (!stop_) {
            nng_msg* message = nullptr;
            if (nng_recvmsg(socket_, &message, 0) != 0) continue;
            kiapi::common::ApiRequest request;
            request.ParseFromArray(nng_msg_body(message), static_cast<int>(nng_msg_len(message)));
            nng_msg_free(message);
            ++received_;
            const std::string type = request.message().type_url();
            const std::string kind = type.substr(type.rfind('.') + 1);
            Answer how;
            {
                const std::lock_guard<std::mutex> guard(mutex_);
                for (const auto& [which, answer] : answers_)
                    if (which == kind) how = answer;
            }
            std::this_thread::sleep_for(how.delay);
            kiapi::common::ApiResponse response;
            response.mutable_status()->set_status(how.status);
            if (how.status == kiapi::common::AS_OK) record(kind, request, response);
            const std::string bytes = response.SerializeAsString();
            nng_send(socket_, const_cast<char*>(bytes.data()), bytes.size(), 0);
        }
    }

    void record(const std::string& kind, const kiapi::common::ApiRequest& request,
                kiapi::common::ApiResponse& response) {
        std::string entry = kind;
        if (kind == "BeginCommit") {
            cmd::BeginCommitResponse begun;
            begun.mutable_id()->set_value("commit-" + std::to_string(++commits_));
            entry += " commit-" + std::to_string(commits_);
            response.mutable_message()->PackFrom(begun);
        } else if (kind == "CreateItems") {
            cmd::CreateItems create;
            request.message().UnpackTo(&create);
            cmd::CreateItemsResponse created;
            created.set_status(kiapi::common::types::IRS_OK);
            for (const auto& item : create.items()) {
                kiapi::board::types::FootprintInstance footprint;
                item.UnpackTo(&footprint);
                entry += " " + std::to_string(footprint.definition().items_size());
                auto* result = created.add_created_items();
                result->mutable_status()->set_code(cmd::ISC_OK);
                result->mutable_item()->PackFrom(footprint);
            }
            response.mutable_message()->PackFrom(created);
        } else if (kind == "EndCommit") {
            cmd::EndCommit end;
            request.message().UnpackTo(&end);
            entry += end.action() == cmd::CMA_DROP ? " drop" : " " + end.id().value();
            response.mutable_message()->PackFrom(cmd::EndCommitResponse{});
        }
        const std::lock_guard<std::mutex> guard(mutex_);
        if (kind != "ClearSelection" && kind != "AddToSelection") log_.push_back(entry);
    }

    const std::string url_;
    nng_socket socket_ = NNG_SOCKET_INITIALIZER;
    std::atomic<bool> stop_{false};
    std::atomic<int> received_{0};
    std::thread server_;
    mutable std::mutex mutex_;
    std::vector<std::pair<std::string, Answer>> answers_;
    std::vector<std::string> log_;
    int commits_ = 0;
};

LineRecord line(int i) {
    LineRecord record{};
    record.layerId = 1;
    record.width = 2540;
    record.startX = i * 2540;
    record.endX = i * 2540 + 1300;
    return record;
}

class LiveDesignThreads : public ::testing::Test {
  protected:
    std::unique_ptr<Design> attach(const LivePolicy& policy) {
        auto ipc = std::make_unique<KicadIpc>();
        EXPECT_TRUE(ipc->connect(kicad_.url()).ok());
        kiapi::common::types::DocumentSpecifier board;
        return makeLiveDesign(std::move(ipc), board, {3}, {makeLayerName("F.Cu", "")}, UniqueFd(),
                              policy);
    }

    // Places `count` lines as one transfer; every status that is not `expected`.
    static std::vector<DbxStatusCode> place(Design& design, int count, DbxStatusCode expected) {
        std::vector<DbxStatusCode> unexpected;
        for (int i = 0; i < count; ++i) {
            const DbxStatusCode status = design.placeLine(toBoardLine(line(i)));
            if (status != expected) unexpected.push_back(status);
        }
        return unexpected;
    }

    // Polls the fake KiCad's log until it holds `count` entries.
    std::vector<std::string> logOf(std::size_t count) {
        const auto giveUp = std::chrono::steady_clock::now() + 10s;
        while (kicad_.log().size() < count && std::chrono::steady_clock::now() < giveUp)
            std::this_thread::sleep_for(5ms);
        return kicad_.log();
    }

    void receivedAtLeast(int count) {
        const auto giveUp = std::chrono::steady_clock::now() + 10s;
        while (kicad_.received() < count && std::chrono::steady_clock::now() < giveUp)
            std::this_thread::sleep_for(5ms);
    }

    FakeKicad kicad_;
};

// Transfers in quick succession into a KiCad slower than the caller: each is its own commit,
// begun only once the one before has ended, and holds exactly its own lines.
TEST_F(LiveDesignThreads, TransfersBackToBackIntoASlowKicadStayApart) {
    kicad_.answer("CreateItems", {300ms});
    auto design = attach({});
    EXPECT_EQ(place(*design, 1000, status::kOk), std::vector<DbxStatusCode>{});
    std::this_thread::sleep_for(60ms);  // longer than the quiet: the next one is a new transfer
    EXPECT_EQ(place(*design, 500, status::kOk), std::vector<DbxStatusCode>{});
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(place(*design, 7, status::kOk), std::vector<DbxStatusCode>{});
    EXPECT_EQ(design->close(), status::kOk);
    const std::vector<std::string> expected = {"EndCommit drop",       "BeginCommit commit-1",
                                               "CreateItems 1000",     "EndCommit commit-1",
                                               "BeginCommit commit-2", "CreateItems 500",
                                               "EndCommit commit-2",   "BeginCommit commit-3",
                                               "CreateItems 7",        "EndCommit commit-3"};
    EXPECT_EQ(kicad_.log(), expected);
}

// A KiCad that turns busy (a tool, a dialog) after the commit opened: the transfer's lines were
// reported placed, so its footprint is offered again until KiCad takes it, whole, one commit.
TEST_F(LiveDesignThreads, AFootprintKicadIsTooBusyToTakeIsOfferedAgainUntilItIs) {
    kicad_.answer("CreateItems", {0ms, kiapi::common::AS_BUSY});
    auto design = attach({});
    EXPECT_EQ(place(*design, 300, status::kOk), std::vector<DbxStatusCode>{});
    receivedAtLeast(6);  // offered four times
    kicad_.answer("CreateItems", {});
    const std::vector<std::string> expected = {"EndCommit drop", "BeginCommit commit-1",
                                               "CreateItems 300", "EndCommit commit-1"};
    EXPECT_EQ(logOf(4), expected);
    EXPECT_EQ(design->close(), status::kOk);
}

// A KiCad that does not open the commit within the caller's wait refuses the whole transfer,
// and the commit it opens late is dropped; a KiCad busy with a tool refuses it at once. Either
// way nothing is reported placed, and the next transfer goes in whole.
struct Refusal {
    const char* label;
    Answer begin;
    DbxStatusCode status;
};

class LiveDesignRefusals : public LiveDesignThreads,
                           public ::testing::WithParamInterface<Refusal> {};

TEST_P(LiveDesignRefusals, ATransferKicadCannotTakeIsRefusedWhole) {
    kicad_.answer("BeginCommit", GetParam().begin);
    LivePolicy policy;
    policy.callerWait = 150ms;
    auto design = attach(policy);
    EXPECT_EQ(place(*design, 50, GetParam().status), std::vector<DbxStatusCode>{});
    kicad_.answer("BeginCommit", {});
    const std::size_t refused = logOf(GetParam().status == status::kNoConnection ? 3 : 1).size();
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(place(*design, 20, status::kOk), std::vector<DbxStatusCode>{});
    EXPECT_EQ(design->close(), status::kOk);
    const auto log = kicad_.log();
    ASSERT_GE(log.size(), refused + 3);
    EXPECT_EQ(log[refused], refused == 1 ? "BeginCommit commit-1" : "BeginCommit commit-2");
    EXPECT_EQ(log[refused + 1], "CreateItems 20") << "only the second transfer's lines";
    if (GetParam().status == status::kNoConnection) {
        EXPECT_EQ(log[2], "EndCommit drop") << "the late commit is dropped";
    }
}

INSTANTIATE_TEST_SUITE_P(
    LiveDesignThreads, LiveDesignRefusals,
    ::testing::Values(
        Refusal{"a KiCad that answers after the caller's wait", {400ms}, status::kNoConnection},
        Refusal{"a KiCad busy with a tool", {0ms, kiapi::common::AS_BUSY}, status::kServerBusy}),
    [](const auto& info) {
        std::string name;
        for (const char* c = info.param.label; *c != '\0'; ++c)
            if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
        return name;
    });

// Quit while KiCad does not answer: the close gives the transfer on its way up after its wait,
// says that lines were lost, and returns.
TEST_F(LiveDesignThreads, ACloseWhileKicadDoesNotAnswerReturnsAfterItsWait) {
    kicad_.answer("CreateItems", {1s});
    LivePolicy policy;
    policy.closeWait = 200ms;
    auto design = attach(policy);
    EXPECT_EQ(place(*design, 100, status::kOk), std::vector<DbxStatusCode>{});
    receivedAtLeast(3);  // the footprint is on its way
    const auto start = std::chrono::steady_clock::now();
    EXPECT_NE(design->close(), status::kOk) << "the lines on their way are lost";
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

}  // namespace
}  // namespace bitlay::kicad
