#include "dbx-kicad/live/board_commits.h"

#include <thread>

#include "dbx-kicad/api/proto/common_commands.pb.h"
#include "dbx-kicad/live/kicad_calls.h"
#include "dbx-kicad/live/kicad_replies.h"
#include "dbx-kicad/status.h"

namespace bitlay::kicad {

namespace cmd = kiapi::common::commands;

OpenedCommit BoardCommits::begin() {
    cmd::BeginCommit request;
    // KiCad 10.0.7 and later tie the commit to the board named in the header; earlier ones skip
    // the field.
    *request.mutable_header()->mutable_document() = board_;
    cmd::BeginCommitResponse response;
    OpenedCommit commit;
    commit.call = ipc_.call(request, &response, kNoDeadline);
    if (commit.call.ok()) commit.id = response.id().value();
    return commit;
}

DbxStatusCode BoardCommits::deliver(const kiapi::board::types::FootprintInstance& footprint,
                                    std::size_t lines, const std::string& commitId) {
    cmd::CreateItems create;
    *create.mutable_header()->mutable_document() = board_;
    create.add_items()->PackFrom(footprint);
    cmd::CreateItemsResponse created;
    CallResult result = callWhenTaken(create, &created);
    if (!result.ok()) {
        if (result.outcome == CallOutcome::kRefused) drop();
        return statusOf(result);
    }
    if (!createdTheItem(created)) {
        drop();
        return status::kServerError;
    }
    cmd::EndCommit end;
    end.mutable_id()->set_value(commitId);
    end.set_action(cmd::CMA_COMMIT);
    end.set_message(transferName(lines));
    *end.mutable_header()->mutable_document() = board_;
    result = callWhenTaken(end, nullptr);
    if (!result.ok()) return statusOf(result);
    select(footprint.id().value());
    return status::kOk;
}

CallResult BoardCommits::callWhenTaken(const google::protobuf::Message& request,
                                       google::protobuf::Message* response) {
    for (;;) {
        CallResult result = ipc_.call(request, response, kNoDeadline);
        if (!notReady(result)) return result;
        std::this_thread::sleep_for(kBusyPause);
    }
}

CallResult BoardCommits::drop() {
    cmd::EndCommit drop;
    drop.set_action(cmd::CMA_DROP);
    *drop.mutable_header()->mutable_document() = board_;
    return ipc_.call(drop, nullptr, kNoDeadline);
}

// The footprint becomes KiCad's selection, and nothing else stays selected: M moves the
// logo, Delete removes it. A selection KiCad refuses changes nothing else.
void BoardCommits::select(const std::string& footprintId) {
    cmd::ClearSelection clear;
    *clear.mutable_header()->mutable_document() = board_;
    if (!ipc_.call(clear, nullptr, kShortCallTimeout).ok()) return;
    cmd::AddToSelection add;
    *add.mutable_header()->mutable_document() = board_;
    add.add_items()->set_value(footprintId);
    ipc_.call(add, nullptr, kShortCallTimeout);
}

}  // namespace bitlay::kicad
