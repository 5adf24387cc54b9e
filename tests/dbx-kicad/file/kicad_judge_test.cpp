// KiCad itself reads back the board files the library writes, every KiCad of the matrix: the new
// board as that KiCad makes one, and boards of versions 6, 7 and 8 written here in their own
// layouts. Each is read with that KiCad's own pcbnew Python module and checked by its design rule
// check.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "dbx-kicad/dbx32.h"
#include "file_fixture.h"
#include "kicad_matrix.h"

using namespace bitlay::kicad::test;

namespace {

// Prints, for each board given as VERSION PATH pairs, one line per footprint, its fields apart by
// "|": VERSION, its name (Reference), "ok" when it is as the library makes one (library id empty,
// on F.Cu, orientation 0, board only, excluded from position files and BOM, Reference hidden on
// F.SilkS, Value "Bitlay" hidden on F.Fab, its anchor the start of one of its lines) or "odd", and
// its lines sorted, "; " between them; and one line per graphic line outside footprints, named
// "loose". KiCad's nanometres, y down.
constexpr char kReader[] = R"(import pcbnew, sys
def line(d):
    s, e = d.GetStart(), d.GetEnd()
    return '%d %d %d %d %d %s' % (s.x, s.y, e.x, e.y, d.GetWidth(), pcbnew.LSET.Name(d.GetLayer()))
args = sys.argv[1:]
for version, path in zip(args[0::2], args[1::2]):
    board = pcbnew.LoadBoard(path)
    for d in board.GetDrawings():
        if d.GetShape() == pcbnew.SHAPE_T_SEGMENT:
            print(version, 'loose', '', line(d), sep='|')
    for f in board.GetFootprints():
        items = [d for d in f.GraphicalItems() if d.GetShape() == pcbnew.SHAPE_T_SEGMENT]
        ok = (f.GetFPIDAsString() == '' and f.GetLayer() == pcbnew.F_Cu and
              f.GetOrientationDegrees() == 0 and f.IsBoardOnly() and
              f.IsExcludedFromPosFiles() and f.IsExcludedFromBOM() and
              not f.Reference().IsVisible() and not f.Value().IsVisible() and
              pcbnew.LSET.Name(f.Reference().GetLayer()) == 'F.SilkS' and
              pcbnew.LSET.Name(f.Value().GetLayer()) == 'F.Fab' and f.GetValue() == 'Bitlay' and
              any(d.GetStart() == f.GetPosition() for d in items) and
              len(items) == len(list(f.GraphicalItems())))
        print(version, f.GetReference(), 'ok' if ok else 'odd',
              '; '.join(sorted(line(d) for d in items)), sep='|')
)";

// Prints the design rule check's violations that name a footprint or a line of the board at the
// first argument, from the check's report at the second, but those of the types that follow.
constexpr char kDrcReader[] = R"(import json, pcbnew, sys
board = pcbnew.LoadBoard(sys.argv[1])
ours = set()
for f in board.GetFootprints():
    ours.add(f.m_Uuid.AsString())
    ours.update(d.m_Uuid.AsString() for d in f.GraphicalItems())
report = json.load(open(sys.argv[2]))
for v in report['violations'] + report.get('unconnected_items', []):
    if v['type'] not in sys.argv[3:] and any(i.get('uuid') in ours for i in v['items']):
        print(v['type'], v['description'], [i['description'] for i in v['items']])
)";

class KicadJudge : public DbxKicad, public ::testing::WithParamInterface<std::string> {
  protected:
    // Every program runs in the KiCad named, its HOME the test's folder; that KiCad makes a new
    // board of its own as `made_`, the last of `versions_`.
    void SetUp() override {
        DbxKicad::SetUp();
        kicad_ = kicadNamed(GetParam());
        if (!kicad_.available()) {
            GTEST_SKIP() << "KiCad " << kicad_.name << " cannot run here: " << kicad_.unavailable;
        }
        inKicad_ = kicad_.shellPrefix(dir_, {"HOME=" + dir_.string()});
        python_ = inKicad_ + "/usr/bin/python3";
        ASSERT_EQ(std::system((python_ + " -c 'import pcbnew' >/dev/null 2>&1").c_str()), 0)
            << "KiCad " << kicad_.name << "'s Python module pcbnew is not installed";
        made_ = dir_ / "vnew.kicad_pcb";
        ASSERT_EQ(run(python_ + " -c \"import pcbnew; b = pcbnew.NewBoard('" + made_.string() +
                      "'); pcbnew.SaveBoard('" + made_.string() + "', b)\" 2>&1"),
                  "");
        writeFile(dir_ / "read.py", kReader);
        writeFile(dir_ / "drc.py", kDrcReader);
    }

    // Attaches to `board`, written from `text` first unless that is empty (KiCad's own board).
    DbxStatusCode attach(const fs::path& board, const std::string& text) {
        if (!text.empty()) writeFile(board, text);
        setenv("DBX_DESIGN", board.c_str(), 1);
        return TOpenDesign(0, 16000, "", &context_);
    }

    // The attached design's layers by the names the tool shows.
    std::map<std::string, std::int32_t> layerIds() {
        std::map<std::string, std::int32_t> ids;
        DbxStatusCode status = 0;
        for (std::int32_t id = 1; status == 0; ++id) {
            const std::string name = layerName(context_, id, &status);
            if (status == 0) ids[name] = id;
        }
        return ids;
    }

    // KiCad's Python holding `board` as it reads it now, until told to save it over the file
    // (a line on its standard input, then pclose).
    FILE* holdInKicad(const fs::path& board) {
        const fs::path loaded = dir_ / "loaded";
        fs::remove(loaded);
        FILE* editor = popen((python_ + " -c \"import pcbnew, sys; b = pcbnew.LoadBoard('" +
                              board.string() + "'); open('" + loaded.string() +
                              "', 'w').close(); sys.stdin.readline(); pcbnew.SaveBoard('" +
                              board.string() + "', b)\" 2>/dev/null")
                                 .c_str(),
                             "w");
        for (int i = 0; editor != nullptr && i < 600 && !fs::exists(loaded); ++i) usleep(50000);
        if (editor != nullptr && !fs::exists(loaded)) {
            pclose(editor);
            editor = nullptr;
        }
        return editor;
    }

    // What kReader prints for `boards` (VERSION PATH pairs), sorted.
    std::string readInKicad(const std::string& boards) {
        const fs::path errors = dir_ / "python.err";
        const std::string output = run(python_ + " '" + (dir_ / "read.py").string() + "'" + boards +
                                       " 2>'" + errors.string() + "' | sort");
        if (output.find("exit status") != std::string::npos) ADD_FAILURE() << readFile(errors);
        return output;
    }

    // The design rule check's complaints about the footprints of `board` and their lines, but
    // those of the types in `ignored` (apart by spaces).
    std::string drcOfFootprints(const fs::path& board, const std::string& ignored = "") {
        const fs::path report = dir_ / "drc.json";
        fs::remove(report);
        const std::string drc =
            run(inKicad_ + "kicad-cli pcb drc --format json --severity-all -o '" + report.string() +
                "' '" + board.string() + "' 2>&1");
        if (!fs::exists(report)) return "no report: " + drc;
        return run(python_ + " '" + (dir_ / "drc.py").string() + "' '" + board.string() + "' '" +
                   report.string() + "' " + ignored + " 2>&1");
    }

    // The boards read back, by the label of their version: each written here in its own layout,
    // and the new one as KiCad made it.
    const std::vector<std::pair<std::string, std::string>> versions_ = {
        {"6", kicad6Board()}, {"7", kicad6Board("20221018")}, {"8", kicad8Board()}, {"new", ""}};
    Kicad kicad_;
    std::string inKicad_;
    std::string python_;
    fs::path made_;
};

std::string sortedLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line + "\n");
    std::sort(lines.begin(), lines.end());
    std::string sorted;
    for (const std::string& line : lines) sorted += line;
    return sorted;
}

std::string nanometres(const LineRecord& line, const std::string& layer) {
    // KiCad counts in nanometres, ten to one database unit, y pointing down.
    return std::to_string(line.startX * 10LL) + " " + std::to_string(-line.startY * 10LL) + " " +
           std::to_string(line.endX * 10LL) + " " + std::to_string(-line.endY * 10LL) + " " +
           std::to_string(line.width * 10LL) + " " + layer;
}

// Lines on every kind of layer and out to the workspace's edges, in two transfers. Halfway, KiCad
// itself saves the 6 board (as a board of its own version), and KiCad, holding its new board from
// before the first line, saves its own copy without the footprint: it goes in again.
TEST_P(KicadJudge, LoadsThePlacedLinesInTheirFootprints) {
    // The file version this KiCad writes: 20241229 for 9, 20260206 for 10.
    std::smatch written;
    const std::string madeText = readFile(made_);
    ASSERT_TRUE(std::regex_search(madeText, written, std::regex(R"(\(version (\d+)\))")))
        << madeText;
    const std::string ownVersion = "(version " + written[1].str() + ")";

    std::string expected;
    std::string boards;
    for (const auto& [version, text] : versions_) {
        const fs::path board = dir_ / ("v" + version + ".kicad_pcb");
        ASSERT_EQ(attach(board, text), 0) << version;
        auto ids = layerIds();
        const std::string user1 = version == "new" ? "User.1" : "Logo";
        const std::vector<std::pair<std::string, LineRecord>> placed = {
            {"F.Cu", makeLine(ids["F.Cu"], 2540, 0, 0, 25400, 0)},
            {"B.Cu", makeLine(ids["B.Cu"], 5080, -kEdge, kEdge, kEdge, -kEdge)},
            {"F.SilkS", makeLine(ids["F.Silkscreen"], 1, 12345, -67890, 12345 + 1300, -67890)},
            {"B.SilkS", makeLine(ids["B.Silkscreen"], 2540, 2540, 2540, 7620, 2540)},
            {"Edge.Cuts", makeLine(ids["Edge.Cuts"], 1270, -2540, -2540, 2540, -2540)},
            {"User.1", makeLine(ids[user1], 99999, 1, -1, 3, -1)}};
        FILE* editor = nullptr;
        if (version == "new") {
            editor = holdInKicad(board);
            ASSERT_NE(editor, nullptr) << "KiCad did not load the board";
        }
        std::vector<std::string> transfer;
        const auto transferred = [&](std::size_t lines) {
            std::sort(transfer.begin(), transfer.end());
            std::string items;
            for (const std::string& item : transfer) items += (items.empty() ? "" : "; ") + item;
            expected += version + "|Bitlay: " + std::to_string(lines) + " lines|ok|" + items + "\n";
            transfer.clear();
        };
        for (const auto& [layer, record] : placed) {
            if (layer == "B.SilkS") {
                // The first transfer is over once its footprint is named.
                ASSERT_TRUE(waitForNamed(1, board)) << version;
                transferred(3);
            }
            if (editor != nullptr && layer == "B.SilkS") {
                const std::string before = readFile(board);
                fputs("save\n", editor);
                ASSERT_EQ(pclose(editor), 0);
                editor = nullptr;
                ASSERT_NE(readFile(board), before) << "KiCad did not save";
                ASSERT_EQ(readFile(board).find("(fp_line"), std::string::npos);
            }
            if (version == "6" && layer == "B.SilkS") {
                ASSERT_EQ(
                    run(python_ + " -c \"import pcbnew; b = pcbnew.LoadBoard('" + board.string() +
                        "'); pcbnew.SaveBoard('" + board.string() + "', b)\" 2>/dev/null"),
                    "");
                ASSERT_NE(readFile(board).find(ownVersion), std::string::npos);
            }
            LineRecord line = record;
            ASSERT_EQ(TPlaceLine(&context_, &line), 0) << version << " " << layer;
            transfer.push_back(nanometres(line, layer));
        }
        transferred(3);
        ASSERT_EQ(TCloseDesign(&context_, ""), 0);
        boards += " " + version + " '" + board.string() + "'";
    }
    EXPECT_EQ(readInKicad(boards), sortedLines(expected));

    // The design rule check loads each board and has nothing to say of the footprints, but of the
    // outline the picture's line on Edge.Cuts makes, as it would of a loose line there.
    for (const auto& [version, text] : versions_) {
        EXPECT_EQ(drcOfFootprints(dir_ / ("v" + version + ".kicad_pcb"),
                                  "invalid_outline copper_edge_clearance"),
                  "")
            << version;
    }
}

// Each transfer is one footprint holding exactly its lines, the last one ended by TCloseDesign.
// The last transfer places each line on F.Cu and again on F.Mask, as the tool does with both
// chosen: a copper logo and its mask opening in one footprint. KiCad has its own board open from
// before the first line and saves its own copy once two transfers are in: their footprints go in
// again with the third. KiCad's own writer then writes each footprint of that board letter for
// letter as the library did (its lines in its own order).
TEST_P(KicadJudge, FindsOneFootprintPerTransfer) {
    // Three transfers: their layers by KiCad's names and the tool's names, and their runs.
    using Layers = std::vector<std::pair<std::string, std::string>>;
    const std::vector<std::pair<Layers, int>> transfers = {
        {{{"F.Cu", "F.Cu"}}, 3},
        {{{"F.SilkS", "F.Silkscreen"}}, 1},
        {{{"F.Cu", "F.Cu"}, {"F.Mask", "F.Mask"}}, 2}};
    std::string expected;
    std::string boards;
    for (const auto& [version, text] : versions_) {
        const fs::path board = dir_ / ("v" + version + ".kicad_pcb");
        ASSERT_EQ(attach(board, text), 0) << version;
        auto ids = layerIds();
        FILE* editor = nullptr;
        if (version == "new") {
            editor = holdInKicad(board);
            ASSERT_NE(editor, nullptr) << "KiCad did not load the board";
        }
        std::int32_t x = 0;
        for (std::size_t t = 0; t < transfers.size(); ++t) {
            const auto& [layers, runs] = transfers[t];
            if (editor != nullptr && t == 2) {
                fputs("save\n", editor);
                ASSERT_EQ(pclose(editor), 0);
                editor = nullptr;
                ASSERT_EQ(readFile(board).find("(footprint"), std::string::npos)
                    << "KiCad did not save";
            }
            std::vector<std::string> items;
            for (int i = 0; i < runs; ++i, x += 5080) {
                for (const auto& [layer, shown] : layers) {
                    LineRecord line = makeLine(ids[shown], 2540, x, -x, x + 2540, -x);
                    ASSERT_EQ(TPlaceLine(&context_, &line), 0) << version << " " << layer;
                    items.push_back(nanometres(line, layer));
                }
            }
            std::sort(items.begin(), items.end());
            const std::size_t count = items.size();
            std::string footprint = version + "|Bitlay: " + std::to_string(count) +
                                    (count == 1 ? " line" : " lines") + "|ok|";
            for (std::size_t i = 0; i < items.size(); ++i) {
                footprint += (i == 0 ? "" : "; ") + items[i];
            }
            expected += footprint + "\n";
            if (t + 1 < transfers.size()) {
                ASSERT_TRUE(waitForNamed(t + 1, board)) << version;
            }
        }
        ASSERT_EQ(TCloseDesign(&context_, ""), 0);
        boards += " " + version + " '" + board.string() + "'";
    }
    EXPECT_EQ(readInKicad(boards), sortedLines(expected));
    // The design rule check has nothing to say of copper lines in footprints, nor of copper with
    // its mask opening on the same lines.
    for (const auto& [version, text] : versions_)
        EXPECT_EQ(drcOfFootprints(dir_ / ("v" + version + ".kicad_pcb")), "") << version;

    // KiCad's own writer, saving its board as it read it, writes each footprint as it stood.
    const fs::path resaved = dir_ / "resaved.kicad_pcb";
    ASSERT_EQ(run(python_ + " -c \"import pcbnew; b = pcbnew.LoadBoard('" + made_.string() +
                  "'); pcbnew.SaveBoard('" + resaved.string() + "', b)\" 2>/dev/null"),
              "");
    std::vector<std::string> ours;
    std::vector<std::string> kicads;
    withoutForms(readFile(made_), "footprint", &ours);
    withoutForms(readFile(resaved), "footprint", &kicads);
    ASSERT_EQ(ours.size(), 3u);
    std::vector<std::vector<std::string>> ourItems;
    std::vector<std::vector<std::string>> kicadItems;
    for (const std::string& form : ours) ourItems.push_back(itemsOf(form));
    for (const std::string& form : kicads) kicadItems.push_back(itemsOf(form));
    std::sort(ourItems.begin(), ourItems.end());
    std::sort(kicadItems.begin(), kicadItems.end());
    EXPECT_EQ(kicadItems, ourItems);
}

// A writer killed in the middle of a transfer, its footprint still open (the writer keeps calling,
// so the transfer does not end), leaves a board KiCad loads with every line reported placed, in a
// footprint.
TEST_P(KicadJudge, LoadsTheBoardOfAKilledWriter) {
    std::map<std::string, std::vector<std::string>> expected;
    std::string boards;
    for (const auto& [version, text] : versions_) {
        const fs::path board = dir_ / ("v" + version + ".kicad_pcb");
        if (!text.empty()) writeFile(board, text);
        setenv("DBX_DESIGN", board.c_str(), 1);
        int placed[2];
        ASSERT_EQ(pipe(placed), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(placed[0]);
            DesignContext context{};
            if (TOpenDesign(0, 16000, "", &context) != 0) _exit(2);
            for (std::int32_t i = 0; i < 300; ++i) {
                LineRecord line = makeLine(1, 2540, i * 5080, 0, i * 5080 + 2540, 0);
                if (TPlaceLine(&context, &line) != 0) _exit(3);
            }
            if (write(placed[1], "p", 1) != 1) _exit(4);
            LineRecord refused = makeLine(1, 0, 0, 0, 1, 0);
            for (;;) TPlaceLine(&context, &refused);
        }
        close(placed[1]);
        char done = 0;
        const bool reported = read(placed[0], &done, 1) == 1;
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        close(placed[0]);
        ASSERT_TRUE(reported) << version;
        boards += " " + version + " '" + board.string() + "'";
        for (std::int32_t i = 0; i < 300; ++i) {
            expected[version].push_back(
                nanometres(makeLine(1, 2540, i * 5080, 0, i * 5080 + 2540, 0), "F.Cu"));
        }
        std::sort(expected[version].begin(), expected[version].end());
    }
    // The footprints' lines by version; none outside a footprint.
    std::map<std::string, std::vector<std::string>> found;
    std::istringstream output(readInKicad(boards));
    for (std::string row; std::getline(output, row);) {
        std::vector<std::string> fields;
        std::istringstream parts(row);
        for (std::string field; std::getline(parts, field, '|');) fields.push_back(field);
        ASSERT_EQ(fields.size(), 4u) << row;
        EXPECT_NE(fields[1], "loose") << row;
        std::istringstream items(fields[3]);
        for (std::string item; std::getline(items, item, ';');) {
            found[fields[0]].push_back(item.substr(item.find_first_not_of(' ')));
        }
    }
    for (auto& [version, items] : found) std::sort(items.begin(), items.end());
    EXPECT_EQ(found, expected);
}

INSTANTIATE_TEST_SUITE_P(Matrix, KicadJudge, ::testing::ValuesIn(kicadNames()),
                         [](const auto& info) { return info.param; });

}  // namespace
