// Which KiCad sockets the stand-in finds and trusts, over folders laid out here: real Unix
// sockets (bound, nobody listening), files, links and folders of every mode.

#include "dbx-kicad/live/editor_sockets.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using bitlay::kicad::checkSocket;
using bitlay::kicad::findEditorSockets;
using bitlay::kicad::openEditorLock;
using bitlay::kicad::SocketCheck;
using bitlay::kicad::socketsInFolder;

namespace {

// An account that owns nothing here.
constexpr uid_t kSomeoneElse = 65534;

void makeSocket(const fs::path& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.string().size(), sizeof address.sun_path);
    std::strcpy(address.sun_path, path.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0)
        << path << ": " << std::strerror(errno);
    ::close(fd);  // the file stays, as a killed KiCad leaves it
}

// An entry of a laid-out folder: "s" a socket, "f" a file, "d" a folder, "l>TARGET" a link,
// "o" a socket of another user (made only where the tests run as root).
struct Entry {
    const char* name;
    const char* kind;
};

class Scratch : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/editor-sockets-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Lays `entries` out in `folder` and gives the folder `mode`.
    void layOut(const fs::path& folder, const std::vector<Entry>& entries, mode_t mode = 0755) {
        fs::create_directories(folder);
        for (const Entry& entry : entries) {
            const fs::path path = folder / entry.name;
            const std::string kind = entry.kind;
            if (kind == "s" || kind == "o") makeSocket(path);
            if (kind == "o") {
                if (::geteuid() != 0) continue;
                ASSERT_EQ(::lchown(path.c_str(), kSomeoneElse, kSomeoneElse), 0);
            }
            if (kind == "f") std::ofstream(path) << "";
            if (kind == "d") fs::create_directory(path);
            if (kind.rfind("l>", 0) == 0) fs::create_symlink(kind.substr(2), path);
        }
        ASSERT_EQ(::chmod(folder.c_str(), mode), 0);
    }

    fs::path dir_;
};

struct FolderCase {
    const char* what;
    std::vector<Entry> entries;
    mode_t mode;
    bool ownedBySomeoneElse;
    std::vector<std::string> expected;
};

void PrintTo(const FolderCase& c, std::ostream* out) { *out << c.what; }

class Folders : public Scratch, public ::testing::WithParamInterface<FolderCase> {};

TEST_P(Folders, ListTheTrustedSocketsInKicadsOrder) {
    const FolderCase& c = GetParam();
    for (const Entry& entry : c.entries) {
        if (std::string(entry.kind) == "o" && ::geteuid() != 0)
            GTEST_SKIP() << "only root can make a socket of another user";
    }
    const fs::path folder = dir_ / "kicad";
    layOut(folder, c.entries, c.mode);
    const uid_t user = c.ownedBySomeoneElse ? kSomeoneElse : ::geteuid();
    std::vector<std::string> names;
    for (const auto& path : socketsInFolder(folder.string(), user)) {
        EXPECT_EQ(fs::path(path).parent_path(), folder);
        names.push_back(fs::path(path).filename().string());
    }
    EXPECT_EQ(names, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    EditorSockets, Folders,
    ::testing::Values(
        FolderCase{
            "the first KiCad, then the others by pid, not by name",
            {{"api-123.sock", "s"}, {"api.sock", "s"}, {"api-45.sock", "s"}, {"api-9l.sock", "s"}},
            0755,
            false,
            {"api.sock", "api-9l.sock", "api-45.sock", "api-123.sock"}},
        FolderCase{"what is not a KiCad socket is left out",
                   {{"api.lock", "f"},
                    {"api.sock.dbx.lock", "f"},
                    {"api-7.sock", "f"},
                    {"api-8.sock", "d"},
                    {"api-x.sock", "s"},
                    {"api-.sock", "s"},
                    {"api-12.sock.old", "s"},
                    {"other.sock", "s"},
                    {"api-31.sock", "s"}},
                   0755,
                   false,
                   {"api-31.sock"}},
        FolderCase{"a link is not followed, not even to a socket of ours",
                   {{"real.sock", "s"}, {"api.sock", "l>real.sock"}, {"api-3.sock", "s"}},
                   0755,
                   false,
                   {"api-3.sock"}},
        FolderCase{"a socket of another user in our folder",
                   {{"api.sock", "o"}, {"api-3.sock", "s"}},
                   0755,
                   false,
                   {"api-3.sock"}},
        FolderCase{"a folder others can write", {{"api.sock", "s"}}, 0777, false, {}},
        FolderCase{
            "a folder others can write, sticky as /tmp", {{"api.sock", "s"}}, 01777, false, {}},
        FolderCase{
            "a folder our own group can write", {{"api.sock", "s"}}, 0775, false, {"api.sock"}},
        FolderCase{"a folder of another user", {{"api.sock", "s"}}, 0755, true, {}},
        FolderCase{"an empty folder", {}, 0700, false, {}}));

TEST_F(Scratch, AFolderThatIsALinkOrMissingHoldsNoSockets) {
    layOut(dir_ / "real", {{"api.sock", "s"}});
    fs::create_directory_symlink(dir_ / "real", dir_ / "kicad");
    EXPECT_EQ(socketsInFolder((dir_ / "real").string(), ::geteuid()).size(), 1u);
    EXPECT_TRUE(socketsInFolder((dir_ / "kicad").string(), ::geteuid()).empty());
    EXPECT_TRUE(socketsInFolder((dir_ / "missing").string(), ::geteuid()).empty());
}

struct CheckCase {
    const char* what;
    const char* path;  // relative to the scratch folder; "" for an address that is not a file
    std::vector<Entry> entries;
    mode_t mode;
    bool ownedBySomeoneElse;
    SocketCheck expected;
};

void PrintTo(const CheckCase& c, std::ostream* out) { *out << c.what; }

class Checks : public Scratch, public ::testing::WithParamInterface<CheckCase> {};

TEST_P(Checks, SayWhetherASocketMayBeDialled) {
    const CheckCase& c = GetParam();
    layOut(dir_ / "kicad", c.entries, c.mode);
    const std::string path = *c.path ? (dir_ / c.path).string() : "";
    const uid_t user = c.ownedBySomeoneElse ? kSomeoneElse : ::geteuid();
    EXPECT_EQ(checkSocket(path, user), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    EditorSockets, Checks,
    ::testing::Values(
        CheckCase{"a socket of ours",
                  "kicad/api.sock",
                  {{"api.sock", "s"}},
                  0755,
                  false,
                  SocketCheck::kTrusted},
        CheckCase{"nothing there", "kicad/api.sock", {}, 0755, false, SocketCheck::kAbsent},
        CheckCase{"no folder", "gone/api.sock", {}, 0755, false, SocketCheck::kAbsent},
        CheckCase{
            "a file", "kicad/api.sock", {{"api.sock", "f"}}, 0755, false, SocketCheck::kAbsent},
        CheckCase{"a link",
                  "kicad/api.sock",
                  {{"real", "s"}, {"api.sock", "l>real"}},
                  0755,
                  false,
                  SocketCheck::kUntrusted},
        CheckCase{"a folder others can write",
                  "kicad/api.sock",
                  {{"api.sock", "s"}},
                  0777,
                  false,
                  SocketCheck::kUntrusted},
        CheckCase{"a folder of another user",
                  "kicad/api.sock",
                  {{"api.sock", "s"}},
                  0755,
                  true,
                  SocketCheck::kUntrusted},
        CheckCase{"no file at all", "", {}, 0755, false, SocketCheck::kUntrusted}));

TEST_F(Scratch, TheLockIsOpenedWithoutFollowingLinks) {
    layOut(dir_ / "kicad", {{"api.sock", "s"}});
    const fs::path socket = dir_ / "kicad" / "api.sock";
    const fs::path lock = dir_ / "kicad" / "api.sock.dbx.lock";

    auto opened = openEditorLock(socket.string(), ::geteuid());
    ASSERT_GE(opened.fd.get(), 0) << "a fresh lock is created";
    EXPECT_EQ(fs::status(lock).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    opened.fd.reset();
    opened = openEditorLock(socket.string(), ::geteuid());
    EXPECT_GE(opened.fd.get(), 0) << "and opened again";
    opened.fd.reset();
    EXPECT_TRUE(openEditorLock(socket.string(), kSomeoneElse).refused)
        << "a lock file of another user";

    // A link at the lock's place, to a file of ours and to one that does not exist yet: neither is
    // opened, created or truncated.
    fs::remove(lock);
    const fs::path precious = dir_ / "precious.txt";
    std::ofstream(precious) << "keep";
    for (const fs::path& target : {precious, dir_ / "planted.txt"}) {
        fs::create_symlink(target, lock);
        const auto refused = openEditorLock(socket.string(), ::geteuid());
        EXPECT_EQ(refused.fd.get(), -1) << target;
        EXPECT_TRUE(refused.refused) << target;
        fs::remove(lock);
    }
    std::ifstream in(precious);
    std::string kept;
    in >> kept;
    EXPECT_EQ(kept, "keep");
    EXPECT_FALSE(fs::exists(dir_ / "planted.txt"));

    EXPECT_TRUE(openEditorLock("", ::geteuid()).refused) << "an address that is not a file";
}

TEST_F(Scratch, TheEnvironmentNamesOneKicadOrTheFoldersToLookIn) {
    const fs::path tmp = dir_ / "tmp";
    const fs::path home = dir_ / "home";
    layOut(tmp / "kicad", {{"api-77.sock", "s"}, {"api.sock", "s"}});
    layOut(home / ".var/app/org.kicad.KiCad/cache/tmp/kicad", {{"api.sock", "s"}});
    const std::string oldTmp = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
    const std::string oldHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    setenv("TMPDIR", tmp.c_str(), 1);
    setenv("HOME", home.c_str(), 1);
    setenv("KICAD_API_TOKEN", "a-token", 1);

    setenv("KICAD_API_SOCKET", "ipc:///somewhere/api.sock", 1);
    auto found = findEditorSockets();
    EXPECT_TRUE(found.named);
    ASSERT_EQ(found.sockets.size(), 1u);
    EXPECT_EQ(found.sockets[0].url, "ipc:///somewhere/api.sock");
    EXPECT_EQ(found.sockets[0].token, "a-token");

    unsetenv("KICAD_API_SOCKET");
    found = findEditorSockets();
    EXPECT_FALSE(found.named);
    std::vector<std::string> urls;
    for (const auto& socket : found.sockets) {
        urls.push_back(socket.url);
        EXPECT_EQ(socket.token, "") << "a token belongs to the KiCad that gave it";
    }
    const std::vector<std::string> expected = {
        "ipc://" + (tmp / "kicad/api.sock").string(),
        "ipc://" + (tmp / "kicad/api-77.sock").string(),
        "ipc://" + (home / ".var/app/org.kicad.KiCad/cache/tmp/kicad/api.sock").string()};
    EXPECT_EQ(urls, expected);

    setenv("TMPDIR", oldTmp.c_str(), 1);
    setenv("HOME", oldHome.c_str(), 1);
    unsetenv("KICAD_API_TOKEN");
}

}  // namespace
