// Which KiCad the stand-in finds when none is named, and the board file it falls back to.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "live_fixture.h"

using namespace bitlay::kicad::test;

namespace {

// A scratch folder that is also the working directory, TMPDIR and HOME, so that a KiCad the user
// runs is never found; removed with everything in it at the end.
class ScratchSession {
  public:
    ScratchSession() {
        char pattern[] = "/tmp/dbx-live-XXXXXX";
        if (mkdtemp(pattern) != nullptr) dir_ = pattern;
        fs::current_path(dir_);
        unsetenv("DBX_DESIGN");
        unsetenv("KICAD_API_SOCKET");
        unsetenv("KICAD_API_TOKEN");
        setenv("TMPDIR", dir_.c_str(), 1);
        setenv("HOME", dir_.c_str(), 1);
    }
    ~ScratchSession() {
        fs::current_path(previous_);
        setenv("TMPDIR", tmp_.c_str(), 1);
        setenv("HOME", home_.c_str(), 1);
        fs::remove_all(dir_);
    }
    const fs::path& dir() const { return dir_; }

  private:
    const fs::path previous_ = fs::current_path();
    const std::string tmp_ = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp";
    const std::string home_ = std::getenv("HOME") ? std::getenv("HOME") : "/";
    fs::path dir_;
};

// A socket file that nobody listens on, as a killed KiCad leaves it.
void deadSocket(const fs::path& path) {
    fs::create_directories(path.parent_path());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << path;
    ::close(fd);
}

bool lockHeld(const fs::path& lock) {
    const int fd = ::open(lock.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
    ::close(fd);
    return held;
}

TEST(LiveFallback, NoKicadAnsweringMeansTheDefaultBoardFile) {
    const ScratchSession session;
    const fs::path& dir = session.dir();
    // KiCad's folders hold only sockets that nobody listens on, left by KiCads that were killed.
    deadSocket(dir / "kicad" / "api.sock");
    deadSocket(dir / "kicad" / "api-41.sock");
    deadSocket(dir / ".var/app/org.kicad.KiCad/cache/tmp/kicad/api.sock");
    DesignContext context{};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(TOpenDesign(0, 16000, "", &context), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_TRUE(fs::exists(dir / "untitled.kicad_pcb"));
    EXPECT_EQ(TCloseDesign(&context, ""), 0);
}

TEST(LiveFallback, AKicadNamedByTheEnvironmentIsTheOnlyOne) {
    const ScratchSession session;
    const fs::path& dir = session.dir();
    deadSocket(dir / "kicad" / "dead.sock");
    fs::create_directories(dir / "open");
    deadSocket(dir / "open" / "api.sock");
    fs::permissions(dir / "open", fs::perms::all);
    struct Case {
        const char* what;
        std::string address;
        DbxStatusCode status;
    };
    const std::vector<Case> cases = {
        {"no socket there", "ipc://" + (dir / "kicad" / "none.sock").string(),
         status::kServerTerminated},
        {"nobody listening", "ipc://" + (dir / "kicad" / "dead.sock").string(),
         status::kServerTerminated},
        {"a folder anyone can write", "ipc://" + (dir / "open" / "api.sock").string(),
         status::kSecurityError},
        {"not a file", "tcp://127.0.0.1:1", status::kSecurityError},
    };
    for (const auto& c : cases) {
        setenv("KICAD_API_SOCKET", c.address.c_str(), 1);
        DesignContext context{};
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(TOpenDesign(0, 16000, "", &context), c.status) << c.what;
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1s) << c.what;
        EXPECT_EQ(TCloseDesign(&context, ""), status::kNoConnection) << c.what;
    }
    EXPECT_FALSE(fs::exists(dir / "untitled.kicad_pcb")) << "never the board file instead";
    unsetenv("KICAD_API_SOCKET");
}

// Sockets laid out in TMPDIR's and the Flatpak KiCad's folder: "live" is a hard link to the
// running pcbnew's socket (a second name for the same KiCad), "dead" one nobody listens on.
struct Layout {
    const char* what;
    std::vector<std::pair<const char*, const char*>> sockets;  // path in the scratch folder, kind
    const char* chosen;      // the socket whose lock the attachment holds; "" for the board file
    bool openToAll = false;  // TMPDIR's kicad folder writable by anyone
};

void PrintTo(const Layout& layout, std::ostream* out) { *out << layout.what; }

class Discovery : public ::testing::TestWithParam<Layout> {};

TEST_P(Discovery, AttachesToTheFirstKicadThatAnswersWithABoard) {
    if (!editor().skipReason.empty())
        GTEST_SKIP() << "KiCad cannot run here: " << editor().skipReason;
    ASSERT_TRUE(editor().pcbnew) << editor().failure;
    const Layout& layout = GetParam();
    const ScratchSession session;
    const fs::path& dir = session.dir();
    const std::string live = editor().pcbnew->url().substr(std::strlen("ipc://"));
    for (const auto& [path, kind] : layout.sockets) {
        fs::create_directories((dir / path).parent_path());
        if (std::string(kind) == "dead") {
            deadSocket(dir / path);
        } else {
            ASSERT_EQ(::link(live.c_str(), (dir / path).c_str()), 0) << path;
        }
    }
    if (layout.openToAll) fs::permissions(dir / "kicad", fs::perms::all);

    DesignContext context{};
    ASSERT_EQ(TOpenDesign(0, 16000, "", &context), 0);
    DbxStatusCode status = 0;
    if (*layout.chosen) {
        EXPECT_TRUE(lockHeld(dir / (std::string(layout.chosen) + ".dbx.lock")));
        EXPECT_EQ(layerName(context, 2, &status), "GND plane") << "the four-layer board in KiCad";
        EXPECT_FALSE(fs::exists(dir / "untitled.kicad_pcb"));
    } else {
        EXPECT_TRUE(fs::exists(dir / "untitled.kicad_pcb"));
        EXPECT_EQ(layerName(context, 2, &status), "B.Cu") << "the default board file";
    }
    for (const auto& [path, kind] : layout.sockets) {
        if (path != std::string(layout.chosen)) {
            EXPECT_FALSE(lockHeld(dir / (std::string(path) + ".dbx.lock"))) << path;
        }
    }
    EXPECT_EQ(TCloseDesign(&context, ""), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Live, Discovery,
    ::testing::Values(Layout{"killed KiCads before the one that answers",
                             {{"kicad/api.sock", "dead"},
                              {"kicad/api-3.sock", "dead"},
                              {"kicad/api-12.sock", "live"}},
                             "kicad/api-12.sock"},
                      Layout{"two answer: the first KiCad, then the lowest pid",
                             {{"kicad/api-40.sock", "live"}, {"kicad/api-7.sock", "live"}},
                             "kicad/api-7.sock"},
                      Layout{"api.sock before any api-<pid>.sock",
                             {{"kicad/api-2.sock", "live"}, {"kicad/api.sock", "live"}},
                             "kicad/api.sock"},
                      Layout{"this system's KiCad before the Flatpak one",
                             {{".var/app/org.kicad.KiCad/cache/tmp/kicad/api.sock", "live"},
                              {"kicad/api-5.sock", "live"}},
                             "kicad/api-5.sock"},
                      Layout{"the Flatpak KiCad when it is the only one",
                             {{"kicad/api.sock", "dead"},
                              {".var/app/org.kicad.KiCad/cache/tmp/kicad/api.sock", "live"}},
                             ".var/app/org.kicad.KiCad/cache/tmp/kicad/api.sock"},
                      Layout{"a KiCad in a folder anyone can write is never dialled",
                             {{"kicad/api.sock", "live"}},
                             "",
                             true}));
}  // namespace
