#include "dbx-kicad/live/kicad_calls.h"

#include <algorithm>
#include <thread>

#include "dbx-kicad/status.h"

namespace bitlay::kicad {

bitlay::dbx::DbxStatusCode statusOf(const CallResult& result) noexcept {
    switch (result.outcome) {
        case CallOutcome::kOk:
            return status::kOk;
        case CallOutcome::kGone:
            return status::kServerTerminated;
        case CallOutcome::kNoServer:
        case CallOutcome::kTimedOut:
        case CallOutcome::kAborted:
            return status::kNoConnection;
        case CallOutcome::kRefused:
            // The token of a KiCad that has since been restarted: the editor went away.
            if (result.apiStatus == kiapi::common::AS_TOKEN_MISMATCH)
                return status::kServerTerminated;
            if (notReady(result)) return status::kServerBusy;
            return status::kServerError;
        case CallOutcome::kBadReply:
            return status::kBadServerData;
    }
    return status::kServerError;
}

std::chrono::milliseconds timeLeft(Deadline deadline, std::chrono::milliseconds atLeast) noexcept {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return std::max(left, atLeast);
}

bool notReady(const CallResult& result) noexcept {
    return result.outcome == CallOutcome::kRefused &&
           (result.apiStatus == kiapi::common::AS_BUSY ||
            result.apiStatus == kiapi::common::AS_NOT_READY);
}

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

}  // namespace bitlay::kicad
