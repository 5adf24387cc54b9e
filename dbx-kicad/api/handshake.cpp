#include "dbx-kicad/api/handshake.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <thread>

#include "dbx-kicad/unique_fd.h"

namespace bitlay::kicad {

namespace {

using Clock = std::chrono::steady_clock;

// The handshake of nng's stream transports: "\0SP\0", the protocol number (big-endian), two zero
// bytes. Request is protocol 0x30, reply 0x31.
constexpr std::size_t kHeaderSize = 8;
constexpr std::array<std::uint8_t, kHeaderSize> kRequestHeader{0, 'S', 'P', 0, 0x00, 0x30, 0, 0};
constexpr std::uint8_t kReplyProtocol = 0x31;

// How often a listener whose queue of connections is full is tried again.
constexpr std::chrono::milliseconds kFullQueuePause{50};

CallResult failure(CallOutcome outcome, const std::string& what) {
    return {outcome, kiapi::common::AS_UNKNOWN, what};
}

std::string errorText(int error) { return std::strerror(error); }

// The milliseconds left until `deadline` for poll(), at least 0, rounded up.
int pollTimeout(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return 0;
    return left.count() > 60'000 ? 60'000 : static_cast<int>(left.count());
}

// Connects without blocking. A listener whose queue is full (it has been stopped a long while)
// refuses with EAGAIN: it is there, so it is tried again until the deadline.
CallResult connectTo(const UniqueFd& fd, const std::string& path, Clock::time_point deadline) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        return failure(CallOutcome::kNoServer, "the socket's path does not fit an address");
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    for (;;) {
        if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            return {};
        }
        const int error = errno;
        if (error == EINTR) continue;
        if (error != EAGAIN) return failure(CallOutcome::kNoServer, errorText(error));
        if (Clock::now() >= deadline) {
            return failure(CallOutcome::kTimedOut, "KiCad took no connection in time");
        }
        std::this_thread::sleep_for(kFullQueuePause);
    }
}

}  // namespace

CallResult awaitHandshake(const std::string& path, Clock::time_point deadline) {
    const UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) return failure(CallOutcome::kNoServer, errorText(errno));
    if (CallResult connected = connectTo(fd, path, deadline); !connected.ok()) return connected;

    // From here on the connection is KiCad's to answer: it is closed only once KiCad has, or at
    // the deadline.
    std::size_t sent = 0;
    std::array<std::uint8_t, kHeaderSize> answer{};
    std::size_t received = 0;
    while (received < kHeaderSize) {
        pollfd watched{fd.get(), static_cast<short>(sent < kHeaderSize ? POLLOUT : POLLIN), 0};
        const int ready = ::poll(&watched, 1, pollTimeout(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return failure(CallOutcome::kGone, errorText(errno));
        if (ready == 0) return failure(CallOutcome::kTimedOut, "KiCad did not answer in time");
        if (sent < kHeaderSize) {
            const ssize_t n =
                ::send(fd.get(), kRequestHeader.data() + sent, kHeaderSize - sent, MSG_NOSIGNAL);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n < 0) return failure(CallOutcome::kGone, errorText(errno));
            sent += static_cast<std::size_t>(n);
            continue;
        }
        const ssize_t n = ::recv(fd.get(), answer.data() + received, kHeaderSize - received, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n < 0) return failure(CallOutcome::kGone, errorText(errno));
        if (n == 0) return failure(CallOutcome::kGone, "KiCad closed the connection");
        received += static_cast<std::size_t>(n);
    }
    const bool handshake = answer[0] == 0 && answer[1] == 'S' && answer[2] == 'P' &&
                           answer[3] == 0 && answer[4] == 0 && answer[5] == kReplyProtocol &&
                           answer[6] == 0 && answer[7] == 0;
    if (!handshake) return failure(CallOutcome::kBadReply, "the socket is not KiCad's API");
    return {};
}

}  // namespace bitlay::kicad
