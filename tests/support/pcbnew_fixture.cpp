#include "pcbnew_fixture.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <tuple>

namespace fs = std::filesystem;

namespace bitlay::kicad::test {

namespace {

constexpr char kKicadCommon[] =
    R"({"api": {"enable_server": true}, "do_not_show_again": {"data_collection_prompt": true,
 "update_check_prompt": true, "env_var_overwrite_warning": true,
 "scaled_3d_models_warning": true, "zone_fill_warning": true}})";

void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

bool onPath(const char* tool) {
    int status = 0;
    runCommand(std::string("command -v ") + tool + " >/dev/null 2>&1", &status);
    return status == 0;
}

// fork and exec `argv` in a process group of its own; its output goes to `log`.
pid_t spawn(const std::vector<std::string>& argv, const fs::path& log, int keepFd = -1) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    setpgid(0, 0);
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int in = ::open("/dev/null", O_RDONLY);
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    for (int fd = 3; fd < 1024; ++fd)
        if (fd != keepFd) ::close(fd);
    execvp(args[0], args.data());
    _exit(127);
}

// The states of the threads of process `pid` ('R', 'S', 'T' stopped, 'Z' zombie, ...).
std::string threadStates(pid_t pid) {
    std::string states;
    const fs::path tasks = "/proc/" + std::to_string(pid) + "/task";
    std::error_code error;
    for (const auto& task : fs::directory_iterator(tasks, error)) {
        std::ifstream stat(task.path() / "stat");
        std::string line;
        std::getline(stat, line);
        const auto state = line.rfind(") ");
        if (state != std::string::npos && state + 2 < line.size()) states += line[state + 2];
    }
    return states;
}

// True while a thread of process `pid` is not yet a zombie. A killed process's main thread turns
// zombie first; its files, KiCad's socket among them, close when the last thread has ended.
bool running(pid_t pid) {
    const std::string states = threadStates(pid);
    return std::any_of(states.begin(), states.end(), [](char state) { return state != 'Z'; });
}

// The processes of the group `group` leads that have not yet ended: pcbnew is the bwrap's child
// in a root.
std::vector<pid_t> groupMembers(pid_t group) {
    std::vector<pid_t> members;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return members;
    while (const dirent* entry = readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
        if (pid > 0 && getpgid(pid) == group && running(pid)) members.push_back(pid);
    }
    closedir(proc);
    return members;
}

// Returns once every process of the group has ended: a killed pcbnew holds its socket open
// while the kernel takes back its half a gigabyte, which on a busy machine takes seconds.
void stopProcess(pid_t pid) {
    if (pid <= 0) return;
    ::kill(-pid, SIGKILL);  // the process group spawn() made for it, bwrap's child included
    waitpid(pid, nullptr, 0);
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!groupMembers(pid).empty() && std::chrono::steady_clock::now() < giveUp)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

}  // namespace

bool Segment::operator==(const Segment& other) const {
    return std::tie(layer, startX, startY, endX, endY, width) ==
           std::tie(other.layer, other.startX, other.startY, other.endX, other.endY, other.width);
}

bool Segment::operator<(const Segment& other) const {
    return std::tie(layer, startX, startY, endX, endY, width) <
           std::tie(other.layer, other.startX, other.startY, other.endX, other.endY, other.width);
}

std::string toText(const std::vector<Segment>& segments) {
    std::ostringstream out;
    for (const auto& s : segments) {
        out << "layer " << s.layer << " (" << s.startX << ", " << s.startY << ") - (" << s.endX
            << ", " << s.endY << ") width " << s.width << "\n";
    }
    return out.str();
}

std::string runCommand(const std::string& command, int* status) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        if (status) *status = -1;
        return out;
    }
    char buffer[65536];
    std::size_t got = 0;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, got);
    const int result = pclose(pipe);
    if (status) *status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
    return out;
}

std::string probePath() { return std::string(BITLAY_BIN_DIR) + "/kicad_probe"; }

std::string whyNoKicad(const Kicad& kicad) {
    if (!kicad.available()) return kicad.unavailable;
    // The host's own pcbnew is not asked for: without it, its tests fail.
    for (const char* tool : {"Xvfb", "xdotool"}) {
        if (!onPath(tool)) return std::string(tool) + " is not installed";
    }
    return {};
}

XServer::XServer() {
    int fds[2];
    if (pipe(fds) != 0) return;
    char dir[] = "/tmp/bitlay-xvfb-XXXXXX";
    if (mkdtemp(dir) == nullptr) return;
    const pid_t pid = spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-noreset", "-screen",
                             "0", "1280x800x24", "-nolisten", "tcp"},
                            fs::path(dir) / "xvfb.log", fds[1]);
    ::close(fds[1]);
    std::string number;
    char c = 0;
    while (::read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    ::close(fds[0]);
    fs::remove_all(dir);
    if (number.empty()) {
        stopProcess(pid);
        return;
    }
    pid_ = pid;
    display_ = ":" + number;
}

XServer::~XServer() { stopProcess(pid_); }

std::unique_ptr<Pcbnew> Pcbnew::start(const Kicad& kicad, const std::string& display,
                                      const fs::path& board, std::string& error,
                                      bool blockedByDialog) {
    std::unique_ptr<Pcbnew> editor(new Pcbnew);
    char pattern[] = "/tmp/bitlay-pcbnew-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        error = "no scratch folder";
        return nullptr;
    }
    editor->dir_ = pattern;
    editor->display_ = display;
    const fs::path home = editor->dir_ / "home";
    const fs::path tmp = editor->dir_ / "tmp";
    const fs::path config = home / ".config" / "kicad" / kicad.configVersion();
    fs::create_directories(config);
    fs::create_directories(tmp);
    writeFile(config / "kicad_common.json", kKicadCommon);
    writeFile(config / "fp-lib-table", "(fp_lib_table (version 7))\n");
    writeFile(config / "sym-lib-table", "(sym_lib_table (version 7))\n");
    writeFile(config / "design-block-lib-table", "(design_block_lib_table (version 7))\n");
    const fs::path copy = editor->dir_ / board.filename();
    fs::copy_file(board, copy);
    if (blockedByDialog) {
        // KiCad's lock file for the board, naming a user on another host.
        writeFile(editor->dir_ / ("~" + board.filename().string() + ".lck"),
                  R"({"hostname":"elsewhere","username":"someone"})");
    }
    editor->url_ = "ipc://" + (tmp / "kicad" / "api.sock").string();

    std::vector<std::string> command = kicad.prefix(
        editor->dir_, {"HOME=" + home.string(), "TMPDIR=" + tmp.string(), "DISPLAY=" + display,
                       "XDG_CONFIG_HOME=" + (home / ".config").string(),
                       "XDG_CACHE_HOME=" + (home / ".cache").string(),
                       "XDG_DATA_HOME=" + (home / ".local/share").string()});
    command.insert(command.end(), {"pcbnew", copy.string()});
    editor->pid_ = spawn(command, editor->dir_ / "pcbnew.log");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(180);
    while (std::chrono::steady_clock::now() < deadline) {
        if (waitpid(editor->pid_, nullptr, WNOHANG) == editor->pid_) {
            editor->pid_ = -1;
            std::ifstream log(editor->dir_ / "pcbnew.log");
            error = "pcbnew ended during start-up: " +
                    std::string(std::istreambuf_iterator<char>(log), {});
            return nullptr;
        }
        int status = 0;
        const std::string answer =
            runCommand(probePath() + " " + editor->url_ + " ready 2>&1", &status);
        if (!blockedByDialog && status == 0) return editor;
        if (blockedByDialog && answer.find("API status 4") != std::string::npos) return editor;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    error = "pcbnew of KiCad " + kicad.name + " did not answer on " + editor->url_ +
            " within three minutes (KiCad opens its largest demo board in about one)";
    return nullptr;
}

Pcbnew::~Pcbnew() {
    kill();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
}

void Pcbnew::kill() {
    stopProcess(pid_);
    pid_ = -1;
}

void Pcbnew::pause(bool paused) const {
    const std::vector<pid_t> members = groupMembers(pid_);
    for (const pid_t member : members) ::kill(member, paused ? SIGSTOP : SIGCONT);
    // A stop takes a moment to reach every thread; until then KiCad may still answer.
    const auto stopped = [](pid_t member) {
        const std::string states = threadStates(member);
        return std::all_of(states.begin(), states.end(), [](char state) { return state == 'T'; });
    };
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (paused && !std::all_of(members.begin(), members.end(), stopped) &&
           std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::vector<Segment> Pcbnew::segments() const { return probeSegments("segments"); }

std::vector<Segment> Pcbnew::selectedSegments() const { return probeSegments("selected"); }

std::vector<Segment> Pcbnew::probeSegments(const char* which) const {
    int status = 0;
    std::istringstream out(runCommand(probePath() + " " + url_ + " " + which, &status));
    std::vector<Segment> found;
    Segment s;
    while (out >> s.layer >> s.startX >> s.startY >> s.endX >> s.endY >> s.width)
        found.push_back(s);
    std::sort(found.begin(), found.end());
    if (status != 0) found.clear();
    return found;
}

std::vector<std::string> Pcbnew::footprints() const {
    int status = 0;
    std::istringstream out(runCommand(probePath() + " " + url_ + " footprints", &status));
    std::vector<std::string> found;
    for (std::string line; std::getline(out, line);) found.push_back(line);
    return found;
}

long Pcbnew::shapeCount() const {
    int status = 0;
    const std::string out = runCommand(probePath() + " " + url_ + " count", &status);
    return status == 0 ? std::atol(out.c_str()) : -1;
}

bool Pcbnew::undo() const {
    int status = 0;
    runCommand(probePath() + " " + url_ + " undo", &status);
    return status == 0;
}

bool Pcbnew::runAction(const std::string& action) const {
    int status = 0;
    runCommand(probePath() + " " + url_ + " run " + action, &status);
    return status == 0;
}

bool Pcbnew::pressKeys(const std::string& keys) const {
    const std::string env = "DISPLAY=" + display_ + " ";
    int status = 0;
    std::string window;
    for (const pid_t member : groupMembers(pid_)) {
        std::istringstream windows(runCommand(
            env + "xdotool search --onlyvisible --pid " + std::to_string(member), &status));
        if (windows >> window) break;
    }
    if (window.empty()) return false;
    runCommand(env + "xdotool windowfocus --sync " + window + " mousemove --window " + window +
                   " 400 300 key --window " + window + " " + keys,
               &status);
    return status == 0;
}

}  // namespace bitlay::kicad::test
