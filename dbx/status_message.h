#pragma once

#include <string>

#include "dbx/records.h"

namespace bitlay::dbx {

// The one-line text of a DBX status: the listed text, else "Status: N". A status outside the
// 16-bit range, which no listed code is, gives "Status: N" with its full value.
std::u16string StatusMessage(const DbxStatusCode& status);

}  // namespace bitlay::dbx
