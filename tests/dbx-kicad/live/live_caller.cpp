// A Bitlay in a process of its own, for the live tests to kill mid-transfer: it attaches to the
// KiCad the environment names, places `lines` short lines on F.Silkscreen along the row `row`,
// says so on standard output, and waits with its transfer open until it is killed.
//
//   live_caller LINES ROW

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "calls.h"
#include "dbx-kicad/dbx32.h"

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    const int lines = std::atoi(argv[1]);
    const int row = std::atoi(argv[2]);
    bitlay::dbx::DesignContext context{};
    if (TOpenDesign(0, 16000, "", &context) != 0) return 1;
    for (int i = 0; i < lines; ++i) {
        bitlay::dbx::LineRecord line =
            bitlay::kicad::test::makeLine(9, 2540, (i % 300) * 5080, (row + i / 300) * 2540,
                                          (i % 300) * 5080 + 1300, (row + i / 300) * 2540);
        if (TPlaceLine(&context, &line) != 0) return 1;
    }
    std::puts("placed");
    std::fflush(stdout);
    for (;;) pause();
}
