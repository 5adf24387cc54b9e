// What the board-file design learns from the kernel's events about other programs and the board:
// each thing another program may do, and what the next look sees.

#include "dbx-kicad/file/board_watch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

namespace {

namespace fs = std::filesystem;
using bitlay::kicad::BoardWatch;
using bitlay::kicad::UniqueFd;
using Seen = BoardWatch::Seen;

struct WatchCase {
    const char* label;
    // What happens to `board` (open as `fd` by the design) before the next look; what another
    // program keeps open goes to `held`.
    std::function<void(const fs::path& board, int fd, UniqueFd& held)> happen;
    Seen seen;
};

void PrintTo(const WatchCase& watchCase, std::ostream* out) { *out << watchCase.label; }

class WatchedBoard : public ::testing::TestWithParam<WatchCase> {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/board-watch-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        board_ = dir_ / "board.kicad_pcb";
        std::ofstream(board_) << "(kicad_pcb)\n";
        fd_.reset(::open(board_.c_str(), O_RDWR | O_CLOEXEC));
        ASSERT_TRUE(fd_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path dir_;
    fs::path board_;
    UniqueFd fd_;
};

TEST_P(WatchedBoard, TellsWhatAnotherProgramDid) {
    BoardWatch watch(fd_.get(), board_.string());
    ASSERT_TRUE(watch.active()) << "a file system of this machine";
    EXPECT_EQ(watch.look(), Seen::kNothing);
    UniqueFd held;
    GetParam().happen(board_, fd_.get(), held);
    EXPECT_EQ(watch.look(), GetParam().seen);
    if (GetParam().seen == Seen::kChange) {
        EXPECT_EQ(watch.look(), Seen::kNothing) << "a change is told once";
    }
}

void saveInPlace(const fs::path& board) { std::ofstream(board) << "(kicad_pcb (edited))\n"; }

INSTANTIATE_TEST_SUITE_P(
    BoardWatch, WatchedBoard,
    ::testing::Values(
        WatchCase{"OwnWrites",
                  [](const fs::path&, int fd, UniqueFd&) {
                      ASSERT_EQ(::pwrite(fd, "(kicad_pcb (a))\n", 16, 0), 16);
                      ASSERT_EQ(::ftruncate(fd, 16), 0);
                  },
                  Seen::kNothing},
        WatchCase{"AReaderCameAndWent",
                  [](const fs::path& board, int, UniqueFd&) {
                      std::string text;
                      std::ifstream(board) >> text;
                  },
                  Seen::kNothing},
        WatchCase{"StillOpenElsewhere",
                  [](const fs::path& board, int, UniqueFd& held) {
                      held.reset(::open(board.c_str(), O_RDONLY | O_CLOEXEC));
                  },
                  Seen::kOpen},
        WatchCase{"SavedInPlace", [](const fs::path& board, int, UniqueFd&) { saveInPlace(board); },
                  Seen::kChange},
        WatchCase{"RenamedOver",
                  [](const fs::path& board, int, UniqueFd&) {
                      const fs::path saving = board.string() + ".saving";
                      saveInPlace(saving);
                      fs::rename(saving, board);
                  },
                  Seen::kChange},
        WatchCase{"Deleted", [](const fs::path& board, int, UniqueFd&) { fs::remove(board); },
                  Seen::kChange},
        WatchCase{"RenamedAway",
                  [](const fs::path& board, int, UniqueFd&) {
                      fs::rename(board, board.string() + ".old");
                  },
                  Seen::kChange},
        // A truncation by name opens nothing: the look at the end before each write finds it.
        WatchCase{"TruncatedByName",
                  [](const fs::path& board, int, UniqueFd&) { fs::resize_file(board, 0); },
                  Seen::kNothing},
        WatchCase{"PermissionsChanged",
                  [](const fs::path& board, int, UniqueFd&) { ::chmod(board.c_str(), 0600); },
                  Seen::kChange},
        WatchCase{"ABackupBesideIt",
                  [](const fs::path& board, int, UniqueFd&) {
                      saveInPlace(board.parent_path() / "board.kicad_pcb-bak");
                  },
                  Seen::kNothing}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
