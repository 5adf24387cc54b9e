#pragma once

// Where running KiCads listen, and which of their sockets may be trusted.
//
// KiCad puts its API socket in `$TMPDIR/kicad/`: `api.sock` for the first KiCad, `api-<pid>.sock`
// for each one started while that exists. A Flatpak KiCad has its own TMPDIR inside
// `~/.var/app/org.kicad.KiCad/cache/tmp`. A KiCad that starts a plugin tells it its own socket in
// KICAD_API_SOCKET and its token in KICAD_API_TOKEN.
//
// Anyone may create `/tmp/kicad` first. A socket there could then be a program of another user
// posing as the editor, and a lock beside it could be a link to a file of ours. So a socket is
// dialled only when its folder and the socket itself belong to the user running the library, and
// the lock beside it is opened without following links.

#include <sys/types.h>

#include <string>
#include <vector>

#include "dbx-kicad/unique_fd.h"

namespace bitlay::kicad {

// A KiCad API socket to try.
struct EditorSocket {
    std::string url;    // ipc://PATH
    std::string token;  // sent with every request; empty for a KiCad found by looking
};

// What the environment says about where the editor is.
struct EditorSockets {
    // True when KICAD_API_SOCKET names the one editor to attach to (Bitlay was started by that
    // KiCad); `sockets` then holds exactly that one, whatever the checks below say of it.
    bool named = false;
    // Otherwise every trusted socket that exists, in the order they are tried: `api.sock`, then
    // `api-<pid>.sock` by increasing pid, first in `$TMPDIR/kicad` (TMPDIR defaulting to /tmp),
    // then in the Flatpak KiCad's `$HOME/.var/app/org.kicad.KiCad/cache/tmp/kicad`.
    std::vector<EditorSocket> sockets;
};

EditorSockets findEditorSockets();

// The trusted sockets in one folder, in the order above; none when the folder is not trusted.
std::vector<std::string> socketsInFolder(const std::string& folder, uid_t user);

enum class SocketCheck {
    kTrusted,    // a socket of `user`'s, in a folder only `user` (and `user`'s own group) can write
    kAbsent,     // nothing there, or no socket (KiCad is gone)
    kUntrusted,  // the socket or its folder is a link, belongs to someone else, or others can write
                 // the folder; or the address is not a file
};

// Checks the socket at `path` and its folder, without following links.
SocketCheck checkSocket(const std::string& path, uid_t user);

// The file system path behind an ipc:// address; empty for any other kind of address.
std::string socketPath(const std::string& url);

// The lock file beside a socket, `<socket path>.dbx.lock`, created when missing. Never follows a
// link, and refuses a file that is not a regular file of `user`'s.
struct LockFile {
    UniqueFd fd;           // open for reading and writing, close-on-exec; none when refused
    bool refused = false;  // a link or someone else's file; otherwise fd < 0 is an I/O failure
};
LockFile openEditorLock(const std::string& socketPath, uid_t user);

}  // namespace bitlay::kicad
