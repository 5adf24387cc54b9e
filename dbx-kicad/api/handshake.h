#pragma once

// Whether a KiCad listens behind an API socket, and waiting until it has taken a connection.
//
// A connection to KiCad's socket is taken by the kernel even while KiCad is stopped (swapped out,
// SIGSTOP) or its API thread is held up; KiCad's own side of the handshake then comes once it
// goes on. A client that closes its connection before KiCad's side has come leaves KiCad unable
// to take another client, ever: KiCad's reply to that connection fails, and the listener of the
// nng that KiCad links (1.5) takes the failure for its own end and stops accepting. KiCad then
// answers nobody until it is restarted. nng's own dial gives up after ten seconds, so the stand-in
// first waits here, on a connection of its own that it keeps until KiCad has answered, and dials
// only a KiCad that is known to be running.

#include <chrono>
#include <string>

#include "dbx-kicad/api/kicad_ipc.h"

namespace bitlay::kicad {

// Connects to the Unix socket at `path` and exchanges the request/reply handshake with the
// listener behind it, waiting until `deadline` for its side. kOk once the listener has answered;
// kNoServer when nobody listens there (no socket, or one left by a killed KiCad, which refuses the
// connection): no KiCad at all. Once the connection has been taken: kGone when the listener
// closed it without answering, kTimedOut at the deadline, kBadReply when the answer is not a
// reply socket's handshake.
CallResult awaitHandshake(const std::string& path, std::chrono::steady_clock::time_point deadline);

}  // namespace bitlay::kicad
