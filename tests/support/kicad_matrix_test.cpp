// The description of a KiCad of the test matrix, over roots made up here: which KiCad a root
// holds, why one cannot run, and how the host's own runs a program.

#include "kicad_matrix.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace bitlay::kicad::test;

namespace {

// What a root holds, as the matrix finds it.
struct RootCase {
    const char* label;
    const char* name;
    bool made;
    const char* unavailableFile;  // the reason beside a root that could not be made, or null
    const char* kicadPackage;     // KiCad's version in the root's dpkg database, or null
    std::string version;          // what the description says
    std::string configVersion;
    std::string unavailable;  // a part of the reason, empty when it can run
};

void PrintTo(const RootCase& c, std::ostream* out) { *out << c.label; }

class MatrixRoots : public ::testing::TestWithParam<RootCase> {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kicad-matrix-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        roots_ = pattern;
        const char* previous = std::getenv("BITLAY_ROOTS");
        if (previous != nullptr) previous_ = previous;
        setenv("BITLAY_ROOTS", roots_.c_str(), 1);
    }
    void TearDown() override {
        if (previous_.empty())
            unsetenv("BITLAY_ROOTS");
        else
            setenv("BITLAY_ROOTS", previous_.c_str(), 1);
        fs::remove_all(roots_);
    }

    fs::path roots_;
    std::string previous_;
};

TEST_P(MatrixRoots, TellWhichKicadTheyHoldOrWhyItCannotRun) {
    const RootCase& c = GetParam();
    const fs::path root = roots_ / c.name;
    if (c.made) fs::create_directories(root / "var/lib/dpkg");
    if (c.unavailableFile) std::ofstream(root.string() + ".unavailable") << c.unavailableFile;
    if (c.kicadPackage) {
        std::ofstream(root / "var/lib/dpkg/status")
            << "Package: kicad\nStatus: install ok installed\nVersion: " << c.kicadPackage
            << "\nArchitecture: amd64\nMaintainer: x\nDescription: y\n\n";
    }
    const Kicad kicad = kicadNamed(c.name);
    EXPECT_EQ(kicad.name, c.name);
    EXPECT_EQ(kicad.root, root);
    EXPECT_EQ(kicad.version, c.version);
    EXPECT_EQ(kicad.configVersion(), c.configVersion);
    if (c.unavailable.empty()) {
        EXPECT_TRUE(kicad.available()) << kicad.unavailable;
    } else {
        EXPECT_NE(kicad.unavailable.find(c.unavailable), std::string::npos) << kicad.unavailable;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Matrix, MatrixRoots,
    ::testing::Values(
        RootCase{"KicadTen", "sid", true, nullptr, "10.0.7+dfsg-1", "10.0.7", "10.0", ""},
        RootCase{"EpochAndBackport", "trixie", true, nullptr, "1:9.0.8+dfsg-1~bpo13+1", "9.0.8",
                 "9.0", ""},
        RootCase{"Nightly", "sid", true, nullptr, "9.99.0~20260101-1", "9.99.0", "9.99", ""},
        RootCase{"NotMadeYet", "trixie", false, nullptr, nullptr, "", "9.0",
                 "is not made yet (scripts/kicad-roots makes it)"},
        RootCase{"CouldNotBeMade", "sid", false,
                 "the package archive http://x does not serve Debian sid\n", nullptr, "", "9.0",
                 "could not be made: the package archive http://x does not serve Debian sid"},
        RootCase{"WithoutKicad", "sid", true, nullptr, nullptr, "", "9.0", "holds no KiCad"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(Matrix, AKicadOutsideTheMatrixCannotRun) {
    const Kicad kicad = kicadNamed("bullseye");
    EXPECT_FALSE(kicad.available());
    EXPECT_TRUE(kicad.root.empty());
}

TEST(Matrix, TheHostsOwnRunsProgramsDirectlyWithTheirEnvironment) {
    const Kicad host = kicadNamed("host");
    EXPECT_TRUE(host.available());
    EXPECT_TRUE(host.root.empty());
    EXPECT_EQ(host.prefix("/tmp/x", {}), std::vector<std::string>{});
    EXPECT_EQ(host.prefix("/tmp/x", {"HOME=/tmp/x"}),
              (std::vector<std::string>{"env", "HOME=/tmp/x"}));
    // Quoted for the shell: a value with a quote and a blank arrives whole.
    const std::string command =
        host.shellPrefix("/tmp/x", {"VALUE=it's a $HOME"}) + "sh -c 'printf %s \"$VALUE\"'";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char buffer[256] = {};
    const std::size_t got = fread(buffer, 1, sizeof buffer - 1, pipe);
    pclose(pipe);
    EXPECT_EQ(std::string(buffer, got), "it's a $HOME");
}

}  // namespace
