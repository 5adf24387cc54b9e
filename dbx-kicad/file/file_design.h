#pragma once

// The design as a KiCad board file: every placed line is appended to the file right away.

#include <chrono>

#include "dbx-kicad/design.h"

namespace bitlay::kicad {

// The board the stand-in creates when no design is named.
constexpr char kDefaultBoardName[] = "untitled.kicad_pcb";

struct FileDesignOptions {
    // The quiet after the caller left that ends a transfer.
    std::chrono::milliseconds quietBeforeEnd{30};
    // Whether the kernel's file events may stand in for a look at the file before each line.
    bool watchFile = true;
};

// Attaches to the board file at `path`, creating the default board there first when
// `createDefault` is set and nothing is there yet. The caller serialises all calls.
OpenedDesign openFileDesign(const char* path, bool createDefault,
                            const FileDesignOptions& options = {});

}  // namespace bitlay::kicad
