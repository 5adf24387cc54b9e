#pragma once

// A real KiCad PCB editor for the live tests and the benchmark: pcbnew of one KiCad of the matrix
// on a virtual X server, with a HOME and a TMPDIR of its own (API enabled, no first-run dialogs),
// so that its API socket is ours alone and a KiCad the user runs is never touched.

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "kicad_matrix.h"

namespace bitlay::kicad::test {

// A graphic segment as KiCad reports it: API layer number, nanometres.
struct Segment {
    int layer = 0;
    std::int64_t startX = 0, startY = 0, endX = 0, endY = 0, width = 0;

    bool operator==(const Segment& other) const;
    bool operator<(const Segment& other) const;
};
std::string toText(const std::vector<Segment>& segments);

// Why `kicad` cannot run here under a virtual X server, or empty when it can.
std::string whyNoKicad(const Kicad& kicad);

// An Xvfb on a display number of its own choosing.
class XServer final {
  public:
    XServer();
    ~XServer();
    bool running() const { return pid_ > 0; }
    const std::string& display() const { return display_; }

  private:
    pid_t pid_ = -1;
    std::string display_;
};

class Pcbnew final {
  public:
    // Starts the pcbnew of `kicad` on a copy of `board` and waits until its API answers with the
    // board open; null, with the reason in `error`, when it does not within three minutes. With
    // `blockedByDialog` the board is left as if another KiCad had it open, so pcbnew starts with
    // a modal question, and the wait is for its API to answer "not ready" instead.
    static std::unique_ptr<Pcbnew> start(const Kicad& kicad, const std::string& display,
                                         const std::filesystem::path& board, std::string& error,
                                         bool blockedByDialog = false);
    ~Pcbnew();

    const std::string& url() const { return url_; }
    // The process started: pcbnew itself, or the bwrap around it.
    pid_t pid() const { return pid_; }
    const std::filesystem::path& dir() const { return dir_; }

    // Ends pcbnew at once, as a crash would.
    void kill();

    // Stops pcbnew (and the bwrap around it) as a machine that swaps it out would, or lets it go
    // on: SIGSTOP or SIGCONT to every process of its group. A stop returns once every thread of
    // the group has stopped.
    void pause(bool paused) const;

    // Every graphic segment on the open board, sorted.
    std::vector<Segment> segments() const;

    // The graphic segments of the editor's selection, sorted.
    std::vector<Segment> selectedSegments() const;

    // One line per footprint on the board, as kicad_probe's `footprints` prints it:
    // "REFERENCE|BOARD-ONLY NO-POS NO-BOM|REF-SHOWN VALUE-SHOWN|GRAPHIC-ITEMS".
    std::vector<std::string> footprints() const;

    // How many graphic shapes the open board holds; -1 when KiCad does not say.
    long shapeCount() const;

    // Runs the editor's undo once through the API; false when KiCad refuses it.
    bool undo() const;

    // Runs one of the editor's actions through the API ("pcbnew.InteractiveDrawing.line"); false
    // when KiCad refuses it.
    bool runAction(const std::string& action) const;

    // Presses keys in the editor's window, as xdotool names them ("ctrl+z"), the pointer over its
    // canvas.
    bool pressKeys(const std::string& keys) const;

  private:
    Pcbnew() = default;
    std::vector<Segment> probeSegments(const char* which) const;
    std::filesystem::path dir_;
    std::string url_;
    std::string display_;
    pid_t pid_ = -1;
};

// Runs a command line through the shell; its standard output, and its status in `status`.
std::string runCommand(const std::string& command, int* status = nullptr);

// The probe tool built beside the tests.
std::string probePath();

}  // namespace bitlay::kicad::test
