// Waiting for a KiCad behind its API socket, against listeners played by the test: what each kind
// of listener gives, and that a connection once taken is kept until the listener has answered.

#include "dbx-kicad/api/handshake.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <string>
#include <thread>

namespace bitlay::kicad {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Header = std::array<std::uint8_t, 8>;

constexpr Header kReplyHeader{0, 'S', 'P', 0, 0x00, 0x31, 0, 0};
constexpr Header kRequestHeader{0, 'S', 'P', 0, 0x00, 0x30, 0, 0};

enum class Listener {
    kNone,         // no socket file
    kDead,         // a socket file nobody listens on, as a killed KiCad leaves it
    kSilent,       // listens, never takes the connection (a stopped KiCad)
    kLate,         // takes it late, reads the handshake, answers as a reply socket
    kCloses,       // takes it and closes without a word
    kForeign,      // answers with something that is no handshake
    kRequestPeer,  // answers as a request socket, not KiCad's reply socket
};

struct Case {
    const char* what;
    Listener listener;
    CallOutcome outcome;
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.what; }

class Handshake : public ::testing::TestWithParam<Case> {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/dbx-handshake-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        path_ = (dir_ / "api.sock").string();
    }
    void TearDown() override {
        if (player_.joinable()) player_.join();
        if (listening_ >= 0) ::close(listening_);
        fs::remove_all(dir_);
    }

    // Binds the socket, and listens on it unless it is to be dead.
    void bindSocket(bool listen) {
        listening_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
        ASSERT_EQ(::bind(listening_, reinterpret_cast<const sockaddr*>(&address), sizeof address),
                  0);
        if (listen) {
            ASSERT_EQ(::listen(listening_, 4), 0);
        }
    }

    // Plays the listener on a thread: takes the connection after `after`, then `play(fd)`.
    template <typename Play>
    void serve(std::chrono::milliseconds after, Play play) {
        player_ = std::thread([this, after, play] {
            std::this_thread::sleep_for(after);
            const int fd = ::accept(listening_, nullptr, nullptr);
            if (fd < 0) return;
            play(fd);
            ::close(fd);
        });
    }

    fs::path dir_;
    std::string path_;
    int listening_ = -1;
    std::thread player_;
    // What the listener read of the caller's handshake, and whether its answer went out whole.
    Header read_{};
    bool answered_ = false;
};

TEST_P(Handshake, TellsNoKicadFromOneThatDoesNotAnswer) {
    const Case& c = GetParam();
    const auto answer = [this](const Header& header) {
        return [this, header](int fd) {
            ASSERT_EQ(::recv(fd, read_.data(), read_.size(), MSG_WAITALL), 8);
            answered_ = ::send(fd, header.data(), header.size(), MSG_NOSIGNAL) == 8;
        };
    };
    switch (c.listener) {
        case Listener::kNone:
            break;
        case Listener::kDead:
            bindSocket(false);
            break;
        case Listener::kSilent:
            bindSocket(true);
            break;
        case Listener::kLate:
            bindSocket(true);
            serve(300ms, answer(kReplyHeader));
            break;
        case Listener::kCloses:
            bindSocket(true);
            serve(0ms, [](int) {});
            break;
        case Listener::kForeign:
            bindSocket(true);
            serve(0ms, answer(Header{'H', 'T', 'T', 'P', '/', '1', '.', '1'}));
            break;
        case Listener::kRequestPeer:
            bindSocket(true);
            serve(0ms, answer(kRequestHeader));
            break;
    }
    const auto start = Clock::now();
    const CallResult result = awaitHandshake(path_, start + 1500ms);
    const auto took = Clock::now() - start;
    EXPECT_EQ(result.outcome, c.outcome) << result.message;
    if (c.listener == Listener::kSilent) {
        EXPECT_GE(took, 1500ms) << "a listener that took the connection is waited for";
    } else {
        EXPECT_LT(took, 1000ms);
    }
    if (c.listener == Listener::kLate) {
        if (player_.joinable()) player_.join();
        EXPECT_EQ(read_, kRequestHeader) << "the caller's handshake is a request socket's";
        EXPECT_TRUE(answered_) << "the connection was kept until the listener had answered";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Listeners, Handshake,
    ::testing::Values(Case{"no socket", Listener::kNone, CallOutcome::kNoServer},
                      Case{"nobody listening", Listener::kDead, CallOutcome::kNoServer},
                      Case{"a stopped KiCad", Listener::kSilent, CallOutcome::kTimedOut},
                      Case{"a KiCad answering late", Listener::kLate, CallOutcome::kOk},
                      Case{"closed unanswered", Listener::kCloses, CallOutcome::kGone},
                      Case{"not a handshake", Listener::kForeign, CallOutcome::kBadReply},
                      Case{"a request socket", Listener::kRequestPeer, CallOutcome::kBadReply}),
    [](const auto& info) {
        std::string name = info.param.what;
        for (char& c : name)
            if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
        return name;
    });

}  // namespace
}  // namespace bitlay::kicad
