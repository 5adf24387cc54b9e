#include "dbx-kicad/live/editor_sockets.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <tuple>

namespace bitlay::kicad {

namespace {

constexpr char kIpcScheme[] = "ipc://";
constexpr char kFlatpakTmp[] = "/.var/app/org.kicad.KiCad/cache/tmp";

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// A folder that only `user` can put a socket in: a real folder (not a link to one) of `user`'s,
// not writable by others, and writable by its group only when that group is the user's own.
bool folderTrusted(const struct stat& folder, uid_t user) noexcept {
    if (!S_ISDIR(folder.st_mode) || folder.st_uid != user) return false;
    if ((folder.st_mode & S_IWOTH) != 0) return false;
    return (folder.st_mode & S_IWGRP) == 0 || folder.st_gid == getegid();
}

bool socketTrusted(const struct stat& socket, uid_t user) noexcept {
    return S_ISSOCK(socket.st_mode) && socket.st_uid == user;
}

// The pid in "api-<pid>.sock" (some KiCad 9 versions write "api-<pid>l.sock"); -1 for any other
// name.
long long socketPid(const std::string& name) {
    const std::string prefix = "api-";
    const std::string suffix = ".sock";
    if (name.size() <= prefix.size() + suffix.size() ||
        name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return -1;
    }
    std::string digits = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    if (digits.back() == 'l') digits.pop_back();
    if (digits.empty() || digits.size() > 18 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return -1;
    }
    return std::stoll(digits);
}

}  // namespace

std::string socketPath(const std::string& url) {
    const std::string scheme = kIpcScheme;
    if (url.compare(0, scheme.size(), scheme) != 0) return {};
    return url.substr(scheme.size());
}

std::vector<std::string> socketsInFolder(const std::string& folder, uid_t user) {
    const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dirFd < 0) return {};
    struct stat info{};
    DIR* dir = nullptr;
    if (::fstat(dirFd, &info) != 0 || !folderTrusted(info, user) ||
        (dir = ::fdopendir(dirFd)) == nullptr) {
        ::close(dirFd);
        return {};
    }
    // (order, pid, name): api.sock first, then by pid.
    std::vector<std::tuple<int, long long, std::string>> found;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        const long long pid = name == "api.sock" ? 0 : socketPid(name);
        if (pid < 0) continue;
        struct stat socket{};
        if (::fstatat(dirFd, entry->d_name, &socket, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (!socketTrusted(socket, user)) continue;
        found.emplace_back(name == "api.sock" ? 0 : 1, pid, name);
    }
    ::closedir(dir);  // closes dirFd
    std::sort(found.begin(), found.end());
    std::vector<std::string> paths;
    for (const auto& entry : found) paths.push_back(folder + "/" + std::get<2>(entry));
    return paths;
}

SocketCheck checkSocket(const std::string& path, uid_t user) {
    const auto slash = path.rfind('/');
    if (path.empty() || slash == std::string::npos) return SocketCheck::kUntrusted;
    const std::string folderPath = slash == 0 ? "/" : path.substr(0, slash);
    struct stat folder{};
    if (::lstat(folderPath.c_str(), &folder) != 0) {
        return errno == ENOENT ? SocketCheck::kAbsent : SocketCheck::kUntrusted;
    }
    if (!folderTrusted(folder, user)) return SocketCheck::kUntrusted;
    struct stat socket{};
    if (::lstat(path.c_str(), &socket) != 0) {
        return errno == ENOENT ? SocketCheck::kAbsent : SocketCheck::kUntrusted;
    }
    if (S_ISLNK(socket.st_mode) || socket.st_uid != user) return SocketCheck::kUntrusted;
    return S_ISSOCK(socket.st_mode) ? SocketCheck::kTrusted : SocketCheck::kAbsent;
}

EditorSockets findEditorSockets() {
    EditorSockets result;
    const std::string named = environment("KICAD_API_SOCKET");
    if (!named.empty()) {
        result.named = true;
        result.sockets.push_back({named, environment("KICAD_API_TOKEN")});
        return result;
    }
    const std::string tmp = environment("TMPDIR");
    std::vector<std::string> folders = {(tmp.empty() ? std::string("/tmp") : tmp) + "/kicad"};
    const std::string home = environment("HOME");
    if (!home.empty()) folders.push_back(home + kFlatpakTmp + "/kicad");
    const uid_t user = ::geteuid();
    for (const auto& folder : folders) {
        for (const auto& path : socketsInFolder(folder, user)) {
            result.sockets.push_back({kIpcScheme + path, {}});
        }
    }
    return result;
}

LockFile openEditorLock(const std::string& socketPath, uid_t user) {
    LockFile lock;
    if (socketPath.empty()) {
        lock.refused = true;
        return lock;
    }
    const std::string path = socketPath + ".dbx.lock";
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (!fd) {
        lock.refused = errno == ELOOP;
        return lock;
    }
    struct stat info{};
    if (::fstat(fd.get(), &info) != 0) return lock;
    if (!S_ISREG(info.st_mode) || info.st_uid != user) {
        lock.refused = true;
        return lock;
    }
    lock.fd = std::move(fd);
    return lock;
}

}  // namespace bitlay::kicad
