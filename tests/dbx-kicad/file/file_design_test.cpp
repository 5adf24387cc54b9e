// The board-file design over time: every call leaves a valid board, a killed writer loses no
// confirmed line, the lock, and other programs saving the board while it is attached.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <functional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <tuple>

#include "dbx-kicad/dbx32.h"
#include "file_fixture.h"

using bitlay::dbx::LayerRecord8;
using namespace bitlay::kicad::test;

namespace {

struct TailCase {
    const char* label;
    std::string board;
};

class Durability : public DbxKicad, public ::testing::WithParamInterface<TailCase> {};

TEST_P(Durability, EveryCallLeavesAValidBoardAndKeepsEveryEarlierByte) {
    ASSERT_EQ(openBoard(GetParam().board), 0);
    const std::string original = readFile(board_);
    const std::string kept = original.substr(0, original.rfind(')'));
    for (int i = 0; i < 40; ++i) {
        LineRecord line = makeLine(1, 2540, i * 2540, 0, i * 2540 + 2540, 0);
        ASSERT_EQ(TPlaceLine(&context_, &line), 0);
        const std::string now = readFile(board_);
        ASSERT_EQ(now.compare(0, kept.size(), kept), 0) << now;
        ASSERT_EQ(linesOnDisk().size(), static_cast<std::size_t>(i + 1));
        ASSERT_EQ(now.substr(now.size() - 3), "\n)\n") << now;
    }
    ASSERT_EQ(TCloseDesign(&context_, ""), 0);
    EXPECT_EQ(linesOnDisk().size(), 40u);
    const std::string text = readFile(board_);
    EXPECT_EQ(text.find(")  ("), std::string::npos) << text;  // each item on its own line
    // Every line inside a footprint, no line or group of its own.
    EXPECT_EQ(text.find("(gr_line"), std::string::npos);
    EXPECT_EQ(text.find("(group"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    DbxKicad, Durability,
    ::testing::Values(
        TailCase{"KicadsOwnLayout", boardWithLayers(kTwoLayers)},
        TailCase{"NoFinalLineBreak", "(kicad_pcb (version 20211014) (layers " + kTwoLayers + "))"},
        TailCase{"LongTrailingSpace", "(kicad_pcb (version 20211014)\n (layers " + kTwoLayers +
                                          ")\n)" + std::string(300, '\n')}),
    [](const auto& info) { return std::string(info.param.label); });

// The writer pauses after its first thousand lines, until that transfer's footprint is named in the
// board, then starts a second transfer and is killed in the middle of it: that transfer's
// footprint holds every line reported placed, maybe without its name.
TEST_F(DbxKicad, KilledWriterLosesNoConfirmedLine) {
    writeFile(board_, boardWithLayers(kTwoLayers));
    int pipeFds[2];
    int goOn[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    ASSERT_EQ(pipe(goOn), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(pipeFds[0]);
        close(goOn[1]);
        DesignContext context{};
        if (TOpenDesign(0, 16000, "", &context) != 0) _exit(2);
        for (std::int32_t i = 0; i < 2000000; ++i) {
            LineRecord line = makeLine(1, 2540, i, 0, i + 1300, 0);
            if (TPlaceLine(&context, &line) != 0) _exit(3);
            if (write(pipeFds[1], &i, sizeof i) != sizeof i) _exit(4);
            char go = 0;
            if (i == 999 && read(goOn[0], &go, 1) != 1) _exit(6);
        }
        _exit(5);
    }
    close(pipeFds[1]);
    close(goOn[0]);
    std::int32_t confirmed = -1;
    std::int32_t value = 0;
    while (confirmed < 999 && read(pipeFds[0], &value, sizeof value) == sizeof value) {
        confirmed = value;
    }
    const bool named = waitForNamed(1);
    EXPECT_EQ(write(goOn[1], "g", 1), 1);
    close(goOn[1]);
    while (confirmed < 3000 && read(pipeFds[0], &value, sizeof value) == sizeof value) {
        confirmed = value;
    }
    kill(child, SIGKILL);
    int waitStatus = 0;
    waitpid(child, &waitStatus, 0);
    while (read(pipeFds[0], &value, sizeof value) == sizeof value) confirmed = value;
    close(pipeFds[0]);
    ASSERT_TRUE(WIFSIGNALED(waitStatus)) << "the writer ended on its own: " << waitStatus;
    ASSERT_GE(confirmed, 3000);

    const auto lines = linesOnDisk();
    ASSERT_GE(lines.size(), static_cast<std::size_t>(confirmed) + 1);
    for (std::int32_t i = 0; i <= confirmed; ++i) ASSERT_EQ(lines[i].startX, i);
    ASSERT_TRUE(named) << "the first transfer's footprint was never named";
    std::string first = "Bitlay: 1,000 lines:";
    for (int i = 0; i < 1000; ++i) first += " " + std::to_string(i);
    const std::string described = footprintsDescribed();
    EXPECT_EQ(described.substr(0, described.find('\n') + 1), first + "\n");
    EXPECT_EQ(described.find("(malformed)"), std::string::npos) << described;
    EXPECT_EQ(grLines(*parseForm(readFile(board_))).size(), 0u);
    EXPECT_EQ(TOpenDesign(0, 16000, "", &context_), 0);  // the lock died with the writer
}

TEST_F(DbxKicad, AnAttachedDesignIsLocked) {
    writeFile(board_, boardWithLayers(kTwoLayers));
    ASSERT_EQ(TOpenDesign(0, 16000, "", &context_), 0);
    DesignContext second{};
    EXPECT_EQ(TOpenDesign(0, 16000, "", &second), kServerBusy);
    EXPECT_EQ(TOpenDesign(0, 16000, "", &context_), kServerBusy);  // same context, same file
    const fs::path alias = dir_ / "alias.kicad_pcb";
    fs::create_hard_link(board_, alias);
    setenv("DBX_DESIGN", alias.c_str(), 1);
    EXPECT_EQ(TOpenDesign(0, 16000, "", &second), kServerBusy);

    const fs::path other = dir_ / "other.kicad_pcb";
    writeFile(other, boardWithLayers(kTwoLayers));
    setenv("DBX_DESIGN", other.c_str(), 1);
    EXPECT_EQ(TOpenDesign(0, 16000, "", &context_), kAlreadyConnected);
    setenv("DBX_DESIGN", board_.c_str(), 1);

    // Another process sees the lock.
    const pid_t child = fork();
    if (child == 0) {
        const int fd = open(board_.c_str(), O_RDWR);
        _exit(fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK ? 0 : 1);
    }
    int waitStatus = -1;
    waitpid(child, &waitStatus, 0);
    EXPECT_TRUE(WIFEXITED(waitStatus) && WEXITSTATUS(waitStatus) == 0);

    ASSERT_EQ(TCloseDesign(&context_, ""), 0);
    EXPECT_EQ(TOpenDesign(0, 16000, "", &second), 0);
    EXPECT_EQ(TCloseDesign(&second, ""), 0);

    // And the library honours a lock held elsewhere.
    const int fd = open(board_.c_str(), O_RDWR);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(TOpenDesign(0, 16000, "", &context_), kServerBusy);
    close(fd);
    EXPECT_EQ(TOpenDesign(0, 16000, "", &context_), 0);
}

// Another program saving the board while it is attached, as an editor with the same board open
// does. Whatever it does, nothing it wrote and no line placed before or after is lost, and a line
// that cannot go in is refused with nothing written.
struct OtherProgram {
    std::function<void(const fs::path& board, int& heldLock)> save;
    DbxStatusCode nextPlacement;  // what the next TPlaceLine returns
};

struct SaveCase {
    const char* label;
    OtherProgram other;
};

// The other program's edit: a shorter or a longer title comment instead of the long one.
std::string edited(std::string text, std::size_t length) {
    const std::string from = "\"" + std::string(120, 'o') + "\"";
    const std::size_t at = text.find(from);
    if (at == std::string::npos) ADD_FAILURE() << "no title comment in\n" << text;
    return text.replace(at, from.size(), "\"edited" + std::string(length, 'e') + "\"");
}

void PrintTo(const SaveCase& saveCase, std::ostream* out) { *out << saveCase.label; }

// Each case with the design told of changes by the kernel, and with the design that looks at the
// file before each line.
class ExternalSave : public DbxKicad,
                     public ::testing::WithParamInterface<std::tuple<SaveCase, bool>> {
  protected:
    const OtherProgram& other() const { return std::get<0>(GetParam()).other; }
    bool watched() const { return std::get<1>(GetParam()); }
};

TEST_P(ExternalSave, LosesNothingAndCorruptsNothing) {
    const std::string original = R"((kicad_pcb (version 20211014) (generator pcbnew)
  (title_block (comment 1 ")" + std::string(120, 'o') +
                                 R"("))
  (layers (0 "F.Cu" signal) (31 "B.Cu" signal) (37 "F.SilkS" user "F.Silkscreen"))
  (net 0 "")
)
)";
    ASSERT_EQ(openBoard(original, watched()), 0);
    std::string expected;
    for (std::int32_t i = 0; i < 3; ++i) {
        LineRecord line = makeLine(3, 2540, i * 2540, 0, i * 2540 + 2540, 0);
        ASSERT_EQ(place(line), 0);
        expected += describe({{i * 2540, 0, i * 2540 + 2540, 0, 2540, "F.SilkS", ""}});
    }

    int heldLock = -1;
    other().save(board_, heldLock);
    const bool existed = fs::exists(board_);
    const std::string saved = existed ? readFile(board_) : "";
    LineRecord line = makeLine(3, 2540, 0, 25400, 2540, 25400);
    const DbxStatusCode next = place(line);
    EXPECT_EQ(next, other().nextPlacement);
    if (next != 0) {
        // Refused: not a byte written, nothing created.
        EXPECT_EQ(fs::exists(board_), existed);
        if (existed) {
            EXPECT_EQ(readFile(board_), saved);
        }
        // The other program puts a good board back; the next line goes in after its end.
        if (heldLock >= 0) {
            close(heldLock);
            heldLock = -1;
        } else {
            writeInPlace(board_, edited(readFile(dir_ / "kept.kicad_pcb"), 3));
        }
    } else {
        expected += describe({{0, -25400, 2540, -25400, 2540, "F.SilkS", ""}});
    }
    line = makeLine(3, 5080, 0, 50800, 5080, 50800);
    ASSERT_EQ(place(line), 0);
    expected += describe({{0, -50800, 5080, -50800, 5080, "F.SilkS", ""}});
    ASSERT_EQ(closeBoard(), 0);

    const std::string text = readFile(board_);
    EXPECT_EQ(text.find('\0'), std::string::npos) << "NUL bytes in the board";
    EXPECT_NE(text.find("\"edited"), std::string::npos) << "the other program's edit is lost";
    EXPECT_EQ(text.find(std::string(120, 'o')), std::string::npos) << text;
    EXPECT_EQ(describe(linesOnDisk()), expected);
}

// Each case saves the board as it stands (with the three lines placed so far), edited.
OtherProgram editInPlace(std::size_t length) {
    return {[length](const fs::path& board, int&) {
                writeInPlace(board, edited(readFile(board), length));
            },
            0};
}

// The board as the other program had it before the three lines were placed: an editor that had
// the board open saves its own copy.
std::string withoutPlacedLines(const std::string& text) { return withoutForms(text, "footprint"); }

// The board as it was before the other program broke it, for the repair.
void keep(const fs::path& board) {
    fs::copy_file(board, board.parent_path() / "kept.kicad_pcb",
                  fs::copy_options::overwrite_existing);
}

INSTANTIATE_TEST_SUITE_P(
    DbxKicad, ExternalSave,
    ::testing::Combine(
        ::testing::Values(
            SaveCase{"InPlaceShorter", editInPlace(0)}, SaveCase{"InPlaceLonger", editInPlace(400)},
            // Same size, same end: the checks pass and the line goes in after the edit.
            SaveCase{"InPlaceSameSize", editInPlace(114)},
            // Same size, same end, but no layers section left: the change time gives the save away.
            SaveCase{"InPlaceSameSizeBroken",
                     {[](const fs::path& board, int&) {
                          keep(board);
                          std::string text = readFile(board);
                          text[text.find("(layers")] = 'x';
                          writeInPlaceNoticeably(board, text);
                      },
                      kBadServerData}},
            SaveCase{"RenamedOver",
                     {[](const fs::path& board, int&) {
                          writeAndRename(board, edited(readFile(board), 0));
                      },
                      0}},
            SaveCase{"InPlaceWithoutTheLinesPlaced",
                     {[](const fs::path& board, int&) {
                          writeInPlace(board, withoutPlacedLines(edited(readFile(board), 0)));
                      },
                      0}},
            SaveCase{"RenamedOverWithoutTheLinesPlaced",
                     {[](const fs::path& board, int&) {
                          writeAndRename(board, withoutPlacedLines(edited(readFile(board), 0)));
                      },
                      0}},
            SaveCase{"Truncated",
                     {[](const fs::path& board, int&) {
                          keep(board);
                          fs::resize_file(board, 0);
                      },
                      kBadServerData}},
            SaveCase{"CutShort",
                     {[](const fs::path& board, int&) {
                          keep(board);
                          const std::string text = readFile(board);
                          writeInPlace(board, text.substr(0, text.size() / 2));
                      },
                      kBadServerData}},
            SaveCase{"Deleted",
                     {[](const fs::path& board, int&) {
                          keep(board);
                          fs::remove(board);
                      },
                      kUnableToOpenFile}},
            SaveCase{"SavedByANewerKicad",
                     {[](const fs::path& board, int&) {
                          keep(board);
                          std::string text = edited(readFile(board), 0);
                          text.replace(text.find("20211014"), 8, "20270101");
                          writeInPlace(board, text);
                      },
                      kVersionIncompatible}},
            SaveCase{"LayerRemoved",
                     {[](const fs::path& board, int&) {
                          keep(board);
                          std::string text = readFile(board);
                          const std::string entry = R"( (37 "F.SilkS" user "F.Silkscreen"))";
                          text.erase(text.find(entry), entry.size());
                          writeInPlace(board, text);
                      },
                      kLayerNotFound}},
            SaveCase{"RenamedOverByALockedFile",
                     {[](const fs::path& board, int& heldLock) {
                          writeAndRename(board, edited(readFile(board), 0));
                          heldLock = open(board.c_str(), O_RDWR);
                          ASSERT_EQ(flock(heldLock, LOCK_EX | LOCK_NB), 0);
                      },
                      kServerBusy}}),
        ::testing::Bool()),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).label) +
               (std::get<1>(info.param) ? "" : "Unwatched");
    });

// A save after the last line that drops the lines placed: they go in again when the design is
// let go; a board that is gone by then makes the close report it.
TEST_F(DbxKicad, LinesDroppedByASaveAfterTheLastOneGoInAgainAtClose) {
    ASSERT_EQ(openBoard(kicad6Board()), 0);
    const std::string before = readFile(board_);
    for (std::int32_t i = 0; i < 2; ++i) {
        LineRecord line = makeLine(1, 2540, i * 2540, 0, i * 2540 + 2540, 0);
        ASSERT_EQ(TPlaceLine(&context_, &line), 0);
    }
    writeAndRename(board_, before);
    ASSERT_EQ(TCloseDesign(&context_, ""), 0);
    EXPECT_EQ(linesOnDisk().size(), 2u);

    ASSERT_EQ(TOpenDesign(0, 16000, "", &context_), 0);
    LineRecord line = makeLine(1, 2540, 0, 0, 2540, 0);
    ASSERT_EQ(TPlaceLine(&context_, &line), 0);
    fs::remove(board_);
    EXPECT_EQ(TCloseDesign(&context_, ""), 32002);
}

TEST_F(DbxKicad, TheLockMovesToTheFileThatReplacedTheBoard) {
    ASSERT_EQ(openBoard(kicad6Board()), 0);
    LineRecord line = makeLine(1, 2540, 0, 0, 2540, 0);
    ASSERT_EQ(TPlaceLine(&context_, &line), 0);
    const int old = open(board_.c_str(), O_RDWR);
    writeAndRename(board_, readFile(board_));
    ASSERT_EQ(TPlaceLine(&context_, &line), 0);
    EXPECT_EQ(flock(old, LOCK_EX | LOCK_NB), 0) << "the replaced file is let go";
    close(old);
    const int now = open(board_.c_str(), O_RDWR);
    EXPECT_NE(flock(now, LOCK_EX | LOCK_NB), 0) << "the new file is locked";
    close(now);
    DesignContext second{};
    EXPECT_EQ(TOpenDesign(0, 16000, "", &second), kServerBusy);
    ASSERT_EQ(TCloseDesign(&context_, ""), 0);
    EXPECT_EQ(linesOnDisk().size(), 2u);
}

}  // namespace
