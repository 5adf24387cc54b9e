#pragma once

// The one place that loads the DBX library and looks up its functions. The library is loaded at
// the first call that needs it, from beside the executable first, then from the private folder
// `../lib/bitlay/` next to the executable's folder, then by the platform's normal search; each
// function is resolved by its exact name at its first call and remembered.

#include <string>

namespace bitlay::dbx {

// The platform's file name of a library: "libdbx32.so" for "dbx32" here, "dbx32.dll" on Windows.
std::string platformLibraryName(const std::string& baseName);

// The address of a library function; throws LinkError naming the library or the function and
// the loader's reason.
void* resolveFunction(const char* name);

// Changes whenever the library is forgotten, so cached function addresses are looked up again.
unsigned linkGeneration() noexcept;

// For tests: forget the library and every resolved function, and look for fileName next time
// (an empty name means the platform name of "dbx32"). Also clears the link's variables.
void resetLinkForTesting(const std::string& fileName = {});

}  // namespace bitlay::dbx
