#pragma once

// One connection to a running KiCad's API socket: NNG request/reply, one request at a time.
//
// nng's request protocol would send a request again when no reply came within a minute; KiCad
// then carries it out twice. Here a request is sent once and only once, every call has its own
// deadline, and the connection going away ends a waiting call at once.

#include <nng/nng.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>

#include "dbx-kicad/api/proto/envelope.pb.h"

namespace bitlay::kicad {

enum class CallOutcome {
    kOk,
    kNoServer,  // nobody listens there
    kGone,      // the connection went away, before or during the call
    kTimedOut,  // no reply within the call's deadline
    kRefused,   // KiCad answered with a status other than OK (see apiStatus)
    kBadReply,  // the reply did not parse as the expected message
    kAborted,   // abort() ended the call, or the connection was aborted before it
};

// A call that waits for its reply however long it takes, until the connection goes or abort().
constexpr std::chrono::milliseconds kNoDeadline = std::chrono::milliseconds::max();

struct CallResult {
    CallOutcome outcome = CallOutcome::kOk;
    // KiCad's status when it answered. AS_TOKEN_MISMATCH: the token is another KiCad's, so this
    // one was restarted since.
    kiapi::common::ApiStatusCode apiStatus = kiapi::common::AS_UNKNOWN;
    std::string message;

    bool ok() const noexcept { return outcome == CallOutcome::kOk; }
};

// What the bytes of a reply say: KiCad's envelope, the status in it, and the message it carries
// parsed into `response` (which may be null when the payload does not matter).
CallResult decodeReply(const void* data, std::size_t size, google::protobuf::Message* response);

class KicadIpc final {
  public:
    KicadIpc() = default;
    KicadIpc(const KicadIpc&) = delete;
    KicadIpc& operator=(const KicadIpc&) = delete;
    ~KicadIpc();

    // Dials `url`; kNoServer when nobody answers the dial. `token` goes with every request: the
    // token KiCad gave a plugin it started, or empty (KiCad accepts an empty one).
    CallResult connect(const std::string& url, std::string token = {});

    // Sends `request` wrapped in KiCad's envelope and parses the reply's payload into
    // `response` (which may be null when the payload does not matter). Never resends.
    CallResult call(const google::protobuf::Message& request, google::protobuf::Message* response,
                    std::chrono::milliseconds timeout);

    // True once the connection to KiCad went away.
    bool gone() const noexcept { return gone_.load(); }

    // Ends the call in flight, from any thread, and makes every later call fail at once: a
    // design letting go of a KiCad that does not answer.
    void abort() noexcept;

    void close() noexcept;

  private:
    static void onPipeEvent(nng_pipe pipe, nng_pipe_ev event, void* self);
    CallResult exchange(nng_msg* request, nng_msg** reply, std::chrono::milliseconds timeout);

    nng_socket socket_ = NNG_SOCKET_INITIALIZER;
    nng_ctx context_ = NNG_CTX_INITIALIZER;
    nng_aio* aio_ = nullptr;
    std::string token_;
    bool open_ = false;
    std::atomic<bool> connected_{false};
    std::atomic<bool> gone_{false};
    std::atomic<bool> aborted_{false};
    std::mutex aioMutex_;  // the pipe callback cancels the call in flight
};

}  // namespace bitlay::kicad
