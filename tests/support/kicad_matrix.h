#pragma once

// The KiCads the tests run against: the host's own, and others installed in Debian roots that
// scripts/kicad-roots makes (in $BITLAY_ROOTS, default ~/.cache/bitlay/roots), entered with bwrap.
// Every test that has a real KiCad judge or host something takes one of these; the same
// description exists for the end-to-end scripts in tests/e2e/kicad_matrix.py.

#include <filesystem>
#include <string>
#include <vector>

namespace bitlay::kicad::test {

struct Kicad {
    std::string name;            // "host", "trixie", "sid"
    std::filesystem::path root;  // the Debian root it is installed in; empty for the host's own
    std::string version;         // "9.0.8", from its package; empty when it has none
    std::string unavailable;     // why it cannot run here; empty when it can

    bool available() const { return unavailable.empty(); }

    // The folder its settings are read from, under ~/.config/kicad: "9.0", "10.0".
    std::string configVersion() const;

    // The words that run a program in this KiCad with `env` (NAME=VALUE) set: `env` and the
    // settings for the host; for a root, bwrap into it with X's sockets and `folder` bound (at
    // the same paths), dying with its parent. Killing the first process ends the program.
    std::vector<std::string> prefix(const std::filesystem::path& folder,
                                    const std::vector<std::string>& env) const;

    // The same, as the start of a shell command line.
    std::string shellPrefix(const std::filesystem::path& folder,
                            const std::vector<std::string>& env) const;
};

// The names of the matrix, the host's first.
const std::vector<std::string>& kicadNames();

// The KiCad of that name, with the reason it cannot run here when it cannot. The host's own is
// never unavailable: without KiCad installed its tests fail.
Kicad kicadNamed(const std::string& name);

// The KiCad that BITLAY_KICAD names; the host's without it.
Kicad kicadFromEnvironment();

// `text` quoted for the shell.
std::string shellQuoted(const std::string& text);

}  // namespace bitlay::kicad::test
