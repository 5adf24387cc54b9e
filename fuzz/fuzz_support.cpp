#include "fuzz_support.h"

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace bitlay::fuzz {

const std::filesystem::path& scratchFolder() {
    static const std::filesystem::path folder = [] {
        std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        if (const char* tmp = std::getenv("TMPDIR"); access("/dev/shm", W_OK) != 0 && tmp)
            base = tmp;
        std::string pattern = base + "/bitlay-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        static std::string made = pattern;
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(made, ignored);
        });
        return std::filesystem::path(pattern);
    }();
    return folder;
}

void writeFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

void overwriteInPlace(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::in | std::ios::out);
    out << bytes;
    out.close();
    std::filesystem::resize_file(path, bytes.size());
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace bitlay::fuzz
