#include "kicad_matrix.h"

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace bitlay::kicad::test {

namespace {

// The standard output of a shell command, empty when it fails.
std::string output(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char buffer[4096];
    std::size_t got = 0;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, got);
    const int status = pclose(pipe);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? out : std::string();
}

fs::path rootsFolder() {
    if (const char* roots = std::getenv("BITLAY_ROOTS"); roots != nullptr && *roots != '\0')
        return roots;
    if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache != nullptr && *cache != '\0')
        return fs::path(cache) / "bitlay" / "roots";
    const char* home = std::getenv("HOME");
    return fs::path(home != nullptr ? home : "/root") / ".cache" / "bitlay" / "roots";
}

// The package version of KiCad in the dpkg database under `root` ("/" for the host's own):
// "9.0.8+dfsg-1~bpo12+1".
std::string packageVersion(const fs::path& root) {
    std::string command = "dpkg-query";
    if (root != "/") command += " --admindir=" + shellQuoted((root / "var/lib/dpkg").string());
    return output(command + " -W -f='${Version}' kicad 2>/dev/null");
}

// "1:9.0.8+dfsg-1~bpo12+1" -> "9.0.8".
std::string upstreamVersion(const std::string& package) {
    const std::size_t epoch = package.find(':');
    std::string rest = epoch == std::string::npos ? package : package.substr(epoch + 1);
    const std::size_t end = rest.find_first_not_of("0123456789.");
    return rest.substr(0, end);
}

std::string readFirstLine(const fs::path& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

}  // namespace

std::string shellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

std::string Kicad::configVersion() const {
    // KiCad keeps its settings per major.minor release.
    const std::size_t firstDot = version.find('.');
    if (firstDot == std::string::npos) return "9.0";
    const std::size_t secondDot = version.find('.', firstDot + 1);
    return version.substr(0, secondDot);
}

std::vector<std::string> Kicad::prefix(const fs::path& folder,
                                       const std::vector<std::string>& env) const {
    std::vector<std::string> words;
    if (!root.empty()) {
        // A tmpfs on /tmp takes the mount points of the binds below, so nothing is ever written
        // into the root. X's socket folder is bound when there is one (a test without a display
        // has none).
        words = {"bwrap",     "--bind",        root.string(),    "/",
                 "--proc",    "/proc",         "--dev",          "/dev",
                 "--ro-bind", "/sys",          "/sys",           "--tmpfs",
                 "/tmp",      "--bind-try",    "/tmp/.X11-unix", "/tmp/.X11-unix",
                 "--bind",    folder.string(), folder.string(),  "--die-with-parent"};
    }
    if (!env.empty() || !words.empty()) {
        words.push_back("env");
        words.insert(words.end(), env.begin(), env.end());
    }
    return words;
}

std::string Kicad::shellPrefix(const fs::path& folder, const std::vector<std::string>& env) const {
    std::string line;
    for (const std::string& word : prefix(folder, env)) line += shellQuoted(word) + " ";
    return line;
}

const std::vector<std::string>& kicadNames() {
    static const std::vector<std::string> names = {"host", "trixie", "sid"};
    return names;
}

Kicad kicadNamed(const std::string& name) {
    Kicad kicad;
    kicad.name = name;
    const std::string hostPackage = packageVersion("/");
    if (name == "host") {
        kicad.version = upstreamVersion(hostPackage);
        return kicad;
    }
    const auto& names = kicadNames();
    if (std::find(names.begin(), names.end(), name) == names.end()) {
        kicad.unavailable = "no KiCad of the matrix is named \"" + name + "\"";
        return kicad;
    }
    kicad.root = rootsFolder() / name;
    if (!fs::is_directory(kicad.root)) {
        const fs::path why = kicad.root.string() + ".unavailable";
        kicad.unavailable = fs::exists(why) ? "its Debian root " + kicad.root.string() +
                                                  " could not be made: " + readFirstLine(why)
                                            : "its Debian root " + kicad.root.string() +
                                                  " is not made yet (scripts/kicad-roots makes it)";
        return kicad;
    }
    if (output("command -v bwrap").empty()) {
        kicad.unavailable = "bwrap is not installed";
        return kicad;
    }
    const std::string package = packageVersion(kicad.root);
    kicad.version = upstreamVersion(package);
    if (package.empty()) {
        kicad.unavailable = "its Debian root " + kicad.root.string() + " holds no KiCad";
    } else if (package == hostPackage) {
        kicad.unavailable = "its KiCad " + package + " is the host's own, tested as host";
    }
    return kicad;
}

Kicad kicadFromEnvironment() {
    const char* name = std::getenv("BITLAY_KICAD");
    return kicadNamed(name != nullptr && *name != '\0' ? name : "host");
}

}  // namespace bitlay::kicad::test
