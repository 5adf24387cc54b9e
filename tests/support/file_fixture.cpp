#include "file_fixture.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "dbx-kicad/dbx32.h"
#include "dbx-kicad/file/file_design.h"

namespace bitlay::kicad::test {

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

void writeInPlace(const fs::path& board, const std::string& text) {
    std::ofstream(board, std::ios::binary | std::ios::trunc) << text;
}

void writeInPlaceNoticeably(const fs::path& board, const std::string& text) {
    struct stat before{};
    ASSERT_EQ(stat(board.c_str(), &before), 0);
    const auto sameTime = [&before](const struct stat& now) {
        return now.st_ctim.tv_sec == before.st_ctim.tv_sec &&
               now.st_ctim.tv_nsec == before.st_ctim.tv_nsec;
    };
    writeInPlace(board, text);
    struct stat after{};
    ASSERT_EQ(stat(board.c_str(), &after), 0);
    while (sameTime(after)) {
        struct timespec coarse{};
        clock_gettime(CLOCK_REALTIME_COARSE, &coarse);
        if (coarse.tv_sec > before.st_ctim.tv_sec ||
            (coarse.tv_sec == before.st_ctim.tv_sec && coarse.tv_nsec > before.st_ctim.tv_nsec)) {
            writeInPlace(board, text);
            ASSERT_EQ(stat(board.c_str(), &after), 0);
        }
    }
}

void writeAndRename(const fs::path& board, const std::string& text) {
    const fs::path temporary = board.string() + ".saving";
    writeFile(temporary, text);
    fs::rename(temporary, board);
}

std::string boardWithLayers(const std::string& layerEntries, const std::string& version) {
    return "(kicad_pcb (version " + version +
           ") (generator pcbnew)\n  (general (thickness 1.6))\n" + "  (layers\n    " +
           layerEntries + "\n  )\n  (net 0 \"\")\n)\n";
}

const std::string kTwoLayers = R"((0 "F.Cu" signal) (31 "B.Cu" signal))";

namespace {

// The syntax of each KiCad's board writer; KiCad 7 writes as KiCad 6.
enum class Release { kKicad6, kKicad8, kKicad9, kKicad10 };

// The test board's layers: KiCad 9 numbered them anew, types a user layer by its side and lists
// the board's User.2, which KiCad 6 to 8 leave out.
struct TestLayer {
    const char* name;
    int kicad6Number;  // -1: not listed before KiCad 9
    int kicad9Number;
    const char* kicad6Type;
    const char* kicad9Type;
    const char* userName;  // nullptr: none
};

constexpr TestLayer kTestLayers[] = {
    {"F.Cu", 0, 0, "signal", "signal", nullptr},
    {"B.Cu", 31, 2, "signal", "signal", nullptr},
    {"B.SilkS", 36, 7, "user", "user", "B.Silkscreen"},
    {"F.SilkS", 37, 5, "user", "user", "F.Silkscreen"},
    {"F.Mask", 39, 1, "user", "user", nullptr},
    {"Edge.Cuts", 44, 25, "user", "user", nullptr},
    {"User.1", 50, 39, "user", "front", "Logo"},
    {"User.2", -1, 41, nullptr, "auxiliary", nullptr},
};

// The test board as `release` writes it, with `version` in its version line. KiCad 6 and 7 indent
// by two spaces and leave a blank line after most sections; KiCad 8 and later indent by tabs.
std::string testBoard(Release release, const std::string& version) {
    const bool kicad6 = release == Release::kKicad6;
    const bool kicad9 = release >= Release::kKicad9;
    const std::string in = kicad6 ? "  " : "\t";
    const std::string gap = kicad6 ? "\n" : "";
    std::string text;
    if (kicad6) {
        text = "(kicad_pcb (version " + version + ") (generator pcbnew)\n\n";
    } else {
        const char* generatorVersion = release == Release::kKicad8   ? "8.0"
                                       : release == Release::kKicad9 ? "9.0"
                                                                     : "10.0";
        text = "(kicad_pcb\n" + in + "(version " + version + ")\n" + in +
               "(generator \"pcbnew\")\n" + in + "(generator_version \"" + generatorVersion +
               "\")\n";
    }
    text += in + "(general\n" + in + in + "(thickness 1.6)\n";
    if (!kicad6) text += in + in + "(legacy_teardrops no)\n";
    text += in + ")\n" + gap + in + "(paper \"A4\")\n" + in + "(layers\n";
    for (const TestLayer& layer : kTestLayers) {
        const int number = kicad9 ? layer.kicad9Number : layer.kicad6Number;
        if (number < 0) continue;
        text += in + in + "(" + std::to_string(number) + " \"" + layer.name + "\" " +
                (kicad9 ? layer.kicad9Type : layer.kicad6Type);
        if (layer.userName != nullptr) text += std::string(" \"") + layer.userName + "\"";
        text += ")\n";
    }
    text += in + ")\n" + gap + in + "(setup\n" + in + in + "(pad_to_mask_clearance 0)\n";
    if (kicad9) text += in + in + "(tenting front back)\n";
    text += in + ")\n" + gap;
    if (release != Release::kKicad10) text += in + "(net 0 \"\")\n" + gap;
    if (kicad9) text += in + "(embedded_fonts no)\n";
    return text + ")\n";
}

}  // namespace

std::string kicad6Board(const std::string& version) { return testBoard(Release::kKicad6, version); }

std::string kicad8Board() { return boardOfVersion(20240108); }

std::string kicad9Board(bool kicad10) { return boardOfVersion(kicad10 ? 20260206 : 20241229); }

std::string boardOfVersion(std::int64_t version) {
    const Release release = version >= 20260206   ? Release::kKicad10
                            : version >= 20241229 ? Release::kKicad9
                            : version >= 20231014 ? Release::kKicad8
                                                  : Release::kKicad6;
    return testBoard(release, std::to_string(version));
}

std::string withoutForms(const std::string& text, const std::string& head,
                         std::vector<std::string>* forms, int level) {
    std::string kept;
    std::size_t depth = 0;
    std::size_t copiedTo = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == ')') {
            --depth;
        } else if (c == '(') {
            ++depth;
            if (depth != static_cast<std::size_t>(level) + 1 ||
                text.compare(i + 1, head.size(), head) != 0 ||
                std::string(" \n\t").find(text[i + 1 + head.size()]) == std::string::npos) {
                continue;
            }
            std::size_t from = i;
            while (from > 0 && (text[from - 1] == ' ' || text[from - 1] == '\t')) --from;
            std::size_t inner = 1;
            std::size_t j = i + 1;
            bool quoted = false;
            for (; inner > 0; ++j) {
                if (quoted) {
                    if (text[j] == '\\') {
                        ++j;
                    } else if (text[j] == '"') {
                        quoted = false;
                    }
                } else if (text[j] == '"') {
                    quoted = true;
                } else if (text[j] == '(') {
                    ++inner;
                } else if (text[j] == ')') {
                    --inner;
                }
            }
            if (j < text.size() && text[j] == '\n') ++j;
            if (forms != nullptr) forms->push_back(text.substr(from, j - from));
            kept += text.substr(copiedTo, from - copiedTo);
            copiedTo = j;
            i = j - 1;
            --depth;
        }
    }
    return kept + text.substr(copiedTo);
}

std::vector<std::string> itemsOf(const std::string& form) {
    std::vector<std::string> items{form.substr(0, form.find('\n') + 1)};
    std::size_t depth = 0;
    std::size_t itemStart = 0;
    bool quoted = false;
    for (std::size_t i = 0; i < form.size(); ++i) {
        const char c = form[i];
        if (quoted) {
            if (c == '\\') ++i;
            if (c == '"') quoted = false;
            continue;
        }
        if (c == '"') {
            quoted = true;
        } else if (c == '(' && ++depth == 2) {
            itemStart = form.rfind('\n', i) + 1;
        } else if (c == ')' && depth-- == 2) {
            const std::size_t end = form.find('\n', i);
            items.push_back(form.substr(itemStart, end - itemStart + 1));
        }
    }
    std::sort(items.begin() + 1, items.end());
    return items;
}

std::string describeFootprints(const Node& board) {
    std::string text;
    for (const Footprint& footprint : footprints(board)) {
        const bool named = !footprint.reference.empty();
        // One another program kept may have lost its lines.
        bool wellFormed =
            footprint.libraryId.empty() && footprint.layer == "F.Cu" && !footprint.rotated &&
            footprint.attributes == std::vector<std::string>{"board_only", "exclude_from_pos_files",
                                                             "exclude_from_bom"} &&
            (footprint.lines.empty() || (footprint.lines.front().startX == footprint.x &&
                                         footprint.lines.front().startY == footprint.y));
        if (named) {
            wellFormed = wellFormed && footprint.referenceHidden &&
                         footprint.referenceLayer == "F.SilkS" && footprint.value == "Bitlay" &&
                         footprint.valueHidden && footprint.valueLayer == "F.Fab";
        }
        std::vector<std::int64_t> starts;
        for (const GrLine& line : footprint.lines) starts.push_back(line.startX);
        std::sort(starts.begin(), starts.end());
        text += named ? footprint.reference + ":" : "(unnamed):";
        for (const std::int64_t x : starts) text += " " + std::to_string(x);
        if (!wellFormed) text += " (malformed)";
        text += "\n";
    }
    return text;
}

std::size_t namedFootprints(const fs::path& path) {
    const auto board = parseForm(readFile(path));
    if (!board) return 0;
    std::size_t named = 0;
    for (const Footprint& footprint : footprints(*board)) named += !footprint.reference.empty();
    return named;
}

const std::regex kUuidV4("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");

std::string run(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return output;
    char buffer[4096];
    std::size_t got = 0;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
    const int status = pclose(pipe);
    if (status != 0) output += "\nexit status " + std::to_string(status);
    return output;
}

void DbxKicad::SetUp() {
    char pattern[] = "/tmp/dbx-kicad-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    board_ = dir_ / "board.kicad_pcb";
    setenv("DBX_DESIGN", board_.c_str(), 1);
    // Where DBX_DESIGN is unset, a KiCad running on this machine must not be the design: the
    // library looks for KiCads in TMPDIR and HOME, and finds nothing there.
    unsetenv("KICAD_API_SOCKET");
    setenv("TMPDIR", dir_.c_str(), 1);
    setenv("HOME", dir_.c_str(), 1);
}

void DbxKicad::TearDown() {
    TCloseDesign(&context_, "");
    if (unwatched_) unwatched_->close();
    unwatched_.reset();
    fs::current_path(startDir_);
    unsetenv("DBX_DESIGN");
    fs::remove_all(dir_);
}

DbxStatusCode DbxKicad::openBoard(const std::string& text, bool watched) {
    writeFile(board_, text);
    if (watched) return TOpenDesign(0, 16000, "", &context_);
    FileDesignOptions options;
    options.watchFile = false;
    OpenedDesign opened = openFileDesign(board_.c_str(), false, options);
    unwatched_ = std::move(opened.design);
    return opened.status;
}

DbxStatusCode DbxKicad::place(LineRecord& line) {
    if (!unwatched_) return TPlaceLine(&context_, &line);
    const DbxStatusCode checked = checkLine(line, unwatched_->layerNames().size());
    return checked != kOk ? checked : unwatched_->placeLine(toBoardLine(line));
}

DbxStatusCode DbxKicad::closeBoard() {
    if (!unwatched_) return TCloseDesign(&context_, "");
    const DbxStatusCode closed = unwatched_->close();
    unwatched_.reset();
    return closed;
}

std::vector<GrLine> DbxKicad::linesOnDisk() const {
    const auto board = parseForm(readFile(board_));
    if (!board) ADD_FAILURE() << "the board does not parse:\n" << readFile(board_);
    return board ? boardLines(*board) : std::vector<GrLine>{};
}

std::vector<Footprint> DbxKicad::footprintsOnDisk() const {
    const auto board = parseForm(readFile(board_));
    if (!board) ADD_FAILURE() << "the board does not parse:\n" << readFile(board_);
    return board ? footprints(*board) : std::vector<Footprint>{};
}

std::string DbxKicad::footprintsDescribed() const {
    const auto board = parseForm(readFile(board_));
    if (!board) ADD_FAILURE() << "the board does not parse:\n" << readFile(board_);
    return board ? describeFootprints(*board) : "";
}

bool DbxKicad::waitForNamed(std::size_t count, const fs::path& path) {
    for (int i = 0; i < 500; ++i) {
        if (namedFootprints(path) >= count) return true;
        usleep(10000);
    }
    return false;
}

void DbxKicad::transfer(std::int32_t layer, std::int32_t first, int count) {
    for (int i = 0; i < count; ++i) {
        LineRecord line = makeLine(layer, 2540, first + i * 5080, 0, first + i * 5080 + 2540, 0);
        ASSERT_EQ(TPlaceLine(&context_, &line), 0) << "line " << i << " at " << first;
    }
}

}  // namespace bitlay::kicad::test
