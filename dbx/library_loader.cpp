#include "dbx/library_loader.h"

#include <map>
#include <string>

#include "dbx/design_link.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#endif

namespace bitlay::dbx {
namespace {

struct Library {
    std::string fileName;  // as asked for; empty means the platform name of "dbx32"
    std::string loadedFrom;
    void* handle = nullptr;
    std::map<std::string, void*> functions;
};

unsigned generationCounter = 1;

Library& library() {
    static Library instance;
    return instance;
}

std::string wantedFileName() {
    const std::string& name = library().fileName;
    return name.empty() ? platformLibraryName("dbx32") : name;
}

#if defined(_WIN32)

std::string lastErrorText() {
    const DWORD code = GetLastError();
    char* buffer = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
    std::string text = length ? std::string(buffer, length) : "error " + std::to_string(code);
    LocalFree(buffer);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

std::string executableFolder() {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string text(path, length);
    const auto slash = text.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : text.substr(0, slash);
}

void* openLibrary(const std::string& path, std::string& reason) {
    void* handle = reinterpret_cast<void*>(LoadLibraryA(path.c_str()));
    if (!handle) reason = lastErrorText();
    return handle;
}

void* findSymbol(void* handle, const char* name, std::string& reason) {
    void* address = reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
    if (!address) reason = lastErrorText();
    return address;
}

void closeLibrary(void* handle) { FreeLibrary(static_cast<HMODULE>(handle)); }

constexpr char kSeparator = '\\';

#else

std::string executableFolder() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path);
    if (length <= 0) return {};
    const std::string text(path, static_cast<std::size_t>(length));
    const auto slash = text.rfind('/');
    return slash == std::string::npos ? std::string() : text.substr(0, slash);
}

void* openLibrary(const std::string& path, std::string& reason) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) reason = dlerror();
    return handle;
}

void* findSymbol(void* handle, const char* name, std::string& reason) {
    dlerror();
    void* address = dlsym(handle, name);
    if (!address) {
        const char* error = dlerror();
        reason = error ? error : "the symbol is null";
    }
    return address;
}

void closeLibrary(void* handle) { dlclose(handle); }

constexpr char kSeparator = '/';

#endif

bool fileExists(const std::string& path) {
#if defined(_WIN32)
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
#else
    struct stat info{};
    return stat(path.c_str(), &info) == 0;
#endif
}

void* loadedLibrary() {
    Library& lib = library();
    if (lib.handle) return lib.handle;
    const std::string fileName = wantedFileName();
    std::string reason;
    // The copy beside the executable (a build folder), then the one in the tool's private library
    // folder (an installed tool: bin/bitlay and lib/bitlay/), win over anything on the search
    // path, so the tool uses the library that came with it.
    const std::string folder = executableFolder();
    std::string chosen = fileName;
    if (!folder.empty()) {
        const std::string beside = folder + kSeparator + fileName;
        const std::string privateCopy = folder + kSeparator + ".." + kSeparator + "lib" +
                                        kSeparator + "bitlay" + kSeparator + fileName;
        if (fileExists(beside)) {
            chosen = beside;
        } else if (fileExists(privateCopy)) {
            chosen = privateCopy;
        }
    }
    lib.handle = openLibrary(chosen, reason);
    if (lib.handle) lib.loadedFrom = chosen;
    if (!lib.handle)
        throw LinkError("The design link library " + fileName + " could not be loaded: " + reason);
    return lib.handle;
}

}  // namespace

std::string platformLibraryName(const std::string& baseName) {
#if defined(_WIN32)
    return baseName + ".dll";
#elif defined(__APPLE__)
    return "lib" + baseName + ".dylib";
#else
    return "lib" + baseName + ".so";
#endif
}

void* resolveFunction(const char* name) {
    Library& lib = library();
    const auto known = lib.functions.find(name);
    if (known != lib.functions.end()) return known->second;
    void* handle = loadedLibrary();
    std::string reason;
    void* address = findSymbol(handle, name, reason);
    if (!address)
        throw LinkError("The design link library " + lib.loadedFrom + " has no function " + name +
                        ": " + reason);
    lib.functions.emplace(name, address);
    return address;
}

unsigned linkGeneration() noexcept { return generationCounter; }

void resetLinkForTesting(const std::string& fileName) {
    ++generationCounter;
    Library& lib = library();
    if (lib.handle) closeLibrary(lib.handle);
    lib = Library{};
    lib.fileName = fileName;
    link::DesignContext = DesignContext{};
    link::DbxStatus = 0;
}

}  // namespace bitlay::dbx
