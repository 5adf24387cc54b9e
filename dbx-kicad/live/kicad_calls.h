#pragma once

// What the live design makes of KiCad's answers: the DBX status of a call, and asking again
// while KiCad says it is busy or not ready.

#include <chrono>

#include "dbx-kicad/api/kicad_ipc.h"
#include "dbx/records.h"

namespace bitlay::kicad {

// A small request's reply; a large one's (a board saved to text) may take longer.
constexpr std::chrono::milliseconds kShortCallTimeout{5000};
constexpr std::chrono::milliseconds kLongCallTimeout{30000};
// How often a KiCad that is busy or not ready is asked again.
constexpr std::chrono::milliseconds kBusyPause{50};

using Deadline = std::chrono::steady_clock::time_point;

// A call's timeout: the time left until `deadline`, but `atLeast`.
std::chrono::milliseconds timeLeft(Deadline deadline, std::chrono::milliseconds atLeast) noexcept;

bitlay::dbx::DbxStatusCode statusOf(const CallResult& result) noexcept;

// KiCad answered that it is busy (a tool active, a dialog open) or not ready: it did nothing.
bool notReady(const CallResult& result) noexcept;

// A call asked again while KiCad says it is busy or not ready, for `wait` at most.
CallResult callWhenReady(KicadIpc& ipc, const google::protobuf::Message& request,
                         google::protobuf::Message* response, std::chrono::milliseconds timeout,
                         std::chrono::milliseconds wait);

}  // namespace bitlay::kicad
