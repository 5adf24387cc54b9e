#include "dbx-kicad/file/board_watch.h"

#include <errno.h>
#include <limits.h>
#include <linux/magic.h>
#include <sys/inotify.h>
#include <sys/vfs.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace bitlay::kicad {
namespace {

constexpr std::uint32_t kFileEvents =
    IN_OPEN | IN_CLOSE_NOWRITE | IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;
constexpr std::uint32_t kFolderEvents =
    IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_DELETE_SELF | IN_MOVE_SELF;

// File systems whose files may change where this kernel sees no event: on other machines, or
// behind a process that serves them.
bool changesUnseen(int fd) noexcept {
    struct statfs info{};
    if (::fstatfs(fd, &info) != 0) return true;
    switch (static_cast<unsigned long>(info.f_type)) {
        case NFS_SUPER_MAGIC:
        case SMB_SUPER_MAGIC:
        case 0xFE534D42UL:  // SMB2
        case 0xFF534D42UL:  // CIFS
        case 0x65735546UL:  // FUSE
        case 0x00C36400UL:  // Ceph
        case AFS_SUPER_MAGIC:
        case V9FS_MAGIC:
        case CODA_SUPER_MAGIC:
        case 0x01161970UL:  // GFS2
        case 0x7461636FUL:  // OCFS2
            return true;
        default:
            return false;
    }
}

}  // namespace

BoardWatch::BoardWatch(int fd, const std::string& path) {
    if (changesUnseen(fd)) return;
    UniqueFd events(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!events) return;
    // The file open, whatever stands at its path meanwhile.
    const std::string opened = "/proc/self/fd/" + std::to_string(fd);
    fileWatch_ = ::inotify_add_watch(events.get(), opened.c_str(), kFileEvents);
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == 0 ? "/" : path.substr(0, slash);
    folderWatch_ = ::inotify_add_watch(events.get(), folder.c_str(), kFolderEvents | IN_ONLYDIR);
    if (fileWatch_ < 0 || folderWatch_ < 0) return;
    name_ = path.substr(slash + 1);
    events_ = std::move(events);
}

BoardWatch::Seen BoardWatch::look() {
    if (!active() || readEvents()) return Seen::kChange;
    return openElsewhere_ > 0 ? Seen::kOpen : Seen::kNothing;
}

bool BoardWatch::readEvents() {
    alignas(inotify_event) char buffer[4096];
    bool counts = false;
    for (;;) {
        const ssize_t got = ::read(events_.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return counts;
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if (event->mask & IN_IGNORED) {
                // A watch is gone with its file system: no more events will tell.
                events_.reset();
                return true;
            }
            if (event->wd == fileWatch_) {
                if (event->mask & IN_OPEN) ++openElsewhere_;
                if (event->mask & (IN_CLOSE_NOWRITE | IN_CLOSE_WRITE)) {
                    openElsewhere_ = openElsewhere_ > 0 ? openElsewhere_ - 1 : 0;
                }
                if (event->mask & (IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF)) {
                    counts = true;
                }
            } else if ((event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_Q_OVERFLOW)) ||
                       (event->len > 0 && name_ == event->name)) {
                counts = true;
            }
        }
        // A read that left room for another event took every event there was.
        if (static_cast<std::size_t>(got) + sizeof(inotify_event) + NAME_MAX + 1 <= sizeof buffer) {
            return counts;
        }
    }
}

}  // namespace bitlay::kicad
