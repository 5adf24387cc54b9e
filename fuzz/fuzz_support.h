#pragma once

// What the fuzz targets share: a scratch folder of the process's own on a memory file system, files
// written and read whole, and a check that stops the run with the broken condition.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace bitlay::fuzz {

// A folder of this process's own, made once and removed at exit; in /dev/shm where there is one.
const std::filesystem::path& scratchFolder();

void writeFile(const std::filesystem::path& path, const std::string& bytes);
// Truncated and written again, the same file: a program saving in place.
void overwriteInPlace(const std::filesystem::path& path, const std::string& bytes);
std::string readFile(const std::filesystem::path& path);

[[noreturn]] inline void checkFailed(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
    std::abort();
}

}  // namespace bitlay::fuzz

// A function of the target's own checks, left out of the coverage the fuzzer steers by: only the
// code under test should count, and the checks' own loops over every byte would cost half the
// speed.
#define FUZZ_CHECKS_ONLY __attribute__((no_sanitize("coverage")))

// A property every input must keep; a broken one is a finding like a crash.
#define FUZZ_CHECK(condition)           \
    ((condition) ? static_cast<void>(0) \
                 : ::bitlay::fuzz::checkFailed(#condition, __FILE__, __LINE__))
