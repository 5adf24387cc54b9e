#include "dbx-kicad/api/kicad_ipc.h"

#include <google/protobuf/message.h>
#include <nng/protocol/reqrep0/req.h>

#include <cstdint>
#include <limits>
#include <utility>

#include "dbx-kicad/api/proto/envelope.pb.h"

namespace bitlay::kicad {

namespace {
constexpr char kClientName[] = "bitlay";

nng_duration toNng(std::chrono::milliseconds timeout) {
    if (timeout == kNoDeadline) return NNG_DURATION_INFINITE;
    return static_cast<nng_duration>(std::max<std::chrono::milliseconds::rep>(1, timeout.count()));
}
}  // namespace

KicadIpc::~KicadIpc() { close(); }

void KicadIpc::onPipeEvent(nng_pipe, nng_pipe_ev event, void* self) {
    auto* ipc = static_cast<KicadIpc*>(self);
    if (event == NNG_PIPE_EV_ADD_POST) {
        ipc->connected_ = true;
        return;
    }
    if (event != NNG_PIPE_EV_REM_POST || !ipc->connected_.load()) return;
    ipc->gone_ = true;
    const std::lock_guard<std::mutex> guard(ipc->aioMutex_);
    if (ipc->aio_ != nullptr) nng_aio_cancel(ipc->aio_);
}

CallResult KicadIpc::connect(const std::string& url, std::string token) {
    close();
    token_ = std::move(token);
    gone_ = false;
    aborted_ = false;
    connected_ = false;
    if (int rv = nng_req0_open(&socket_); rv != 0) {
        return {CallOutcome::kNoServer, kiapi::common::AS_UNKNOWN, nng_strerror(rv)};
    }
    open_ = true;
    // Never send a request twice: KiCad would carry it out twice.
    nng_socket_set_ms(socket_, NNG_OPT_REQ_RESENDTIME, NNG_DURATION_INFINITE);
    nng_pipe_notify(socket_, NNG_PIPE_EV_ADD_POST, &KicadIpc::onPipeEvent, this);
    nng_pipe_notify(socket_, NNG_PIPE_EV_REM_POST, &KicadIpc::onPipeEvent, this);
    int rv = nng_aio_alloc(&aio_, nullptr, nullptr);
    if (rv == 0) rv = nng_ctx_open(&context_, socket_);
    if (rv == 0) rv = nng_ctx_set_ms(context_, NNG_OPT_REQ_RESENDTIME, NNG_DURATION_INFINITE);
    if (rv == 0) rv = nng_dial(socket_, url.c_str(), nullptr, 0);
    if (rv != 0) {
        close();
        return {CallOutcome::kNoServer, kiapi::common::AS_UNKNOWN, nng_strerror(rv)};
    }
    return {};
}

void KicadIpc::abort() noexcept {
    aborted_ = true;
    const std::lock_guard<std::mutex> guard(aioMutex_);
    if (aio_ != nullptr) nng_aio_cancel(aio_);
}

void KicadIpc::close() noexcept {
    if (!open_) return;
    open_ = false;
    nng_close(socket_);  // waits for the pipe callbacks
    socket_ = NNG_SOCKET_INITIALIZER;
    context_ = NNG_CTX_INITIALIZER;
    const std::lock_guard<std::mutex> guard(aioMutex_);
    if (aio_ != nullptr) nng_aio_free(aio_);
    aio_ = nullptr;
}

CallResult KicadIpc::exchange(nng_msg* request, nng_msg** reply,
                              std::chrono::milliseconds timeout) {
    const bool bounded = timeout != kNoDeadline;
    const auto deadline = bounded ? std::chrono::steady_clock::now() + timeout
                                  : std::chrono::steady_clock::time_point::max();
    const auto run = [&](bool send) {
        {
            const std::lock_guard<std::mutex> guard(aioMutex_);
            const auto left = bounded ? std::chrono::duration_cast<std::chrono::milliseconds>(
                                            deadline - std::chrono::steady_clock::now())
                                      : kNoDeadline;
            nng_aio_set_timeout(aio_, toNng(left));
            if (send) {
                nng_aio_set_msg(aio_, request);
                nng_ctx_send(context_, aio_);
            } else {
                nng_ctx_recv(context_, aio_);
            }
            // The connection may have gone, or the call been aborted, between the check
            // before the call and its start.
            if (gone_.load() || aborted_.load()) nng_aio_cancel(aio_);
        }
        nng_aio_wait(aio_);
        return nng_aio_result(aio_);
    };
    const auto failed = [&](int rv) -> CallResult {
        if (gone_.load()) return {CallOutcome::kGone, kiapi::common::AS_UNKNOWN, "KiCad went away"};
        if (aborted_.load())
            return {CallOutcome::kAborted, kiapi::common::AS_UNKNOWN, "the call was given up"};
        if (rv == NNG_ETIMEDOUT)
            return {CallOutcome::kTimedOut, kiapi::common::AS_UNKNOWN,
                    "KiCad did not answer in time"};
        return {CallOutcome::kGone, kiapi::common::AS_UNKNOWN, nng_strerror(rv)};
    };
    if (int rv = run(true); rv != 0) {
        nng_msg_free(request);
        return failed(rv);
    }
    if (int rv = run(false); rv != 0) return failed(rv);
    *reply = nng_aio_get_msg(aio_);
    return {};
}

CallResult KicadIpc::call(const google::protobuf::Message& request,
                          google::protobuf::Message* response, std::chrono::milliseconds timeout) {
    if (!open_) return {CallOutcome::kNoServer, kiapi::common::AS_UNKNOWN, "not connected"};
    if (gone_.load()) return {CallOutcome::kGone, kiapi::common::AS_UNKNOWN, "KiCad went away"};
    if (aborted_.load())
        return {CallOutcome::kAborted, kiapi::common::AS_UNKNOWN, "the call was given up"};

    kiapi::common::ApiRequest envelope;
    envelope.mutable_header()->set_kicad_token(token_);
    envelope.mutable_header()->set_client_name(kClientName);
    envelope.mutable_message()->PackFrom(request);

    // Serialised straight into the message: a transfer's footprint is large.
    const std::size_t size = envelope.ByteSizeLong();
    nng_msg* message = nullptr;
    if (int rv = nng_msg_alloc(&message, size); rv != 0) {
        return {CallOutcome::kGone, kiapi::common::AS_UNKNOWN, nng_strerror(rv)};
    }
    envelope.SerializeWithCachedSizesToArray(static_cast<std::uint8_t*>(nng_msg_body(message)));
    nng_msg* reply = nullptr;
    const CallResult exchanged = exchange(message, &reply, timeout);
    if (!exchanged.ok()) return exchanged;

    const CallResult decoded = decodeReply(nng_msg_body(reply), nng_msg_len(reply), response);
    nng_msg_free(reply);
    return decoded;
}

CallResult decodeReply(const void* data, std::size_t size, google::protobuf::Message* response) {
    kiapi::common::ApiResponse answer;
    // Protocol buffers take no message of 2 GB or more.
    if (size > static_cast<std::size_t>(std::numeric_limits<int>::max()) ||
        !answer.ParseFromArray(data, static_cast<int>(size))) {
        return {CallOutcome::kBadReply, kiapi::common::AS_UNKNOWN,
                "the reply is not an API response"};
    }
    const kiapi::common::ApiStatusCode status = answer.status().status();
    if (status != kiapi::common::AS_OK) {
        return {CallOutcome::kRefused, status, answer.status().error_message()};
    }
    if (response != nullptr && !response->ParseFromString(answer.message().value())) {
        return {CallOutcome::kBadReply, status, "the reply does not hold the expected message"};
    }
    return {CallOutcome::kOk, status, {}};
}

}  // namespace bitlay::kicad
