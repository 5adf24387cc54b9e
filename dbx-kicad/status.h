#pragma once

// The DBX statuses the stand-in returns, shared by every way it plays the editor: the editor's
// own table, under the stand-in's namespace.

#include "dbx/status_codes.h"

namespace bitlay::kicad::status {

using bitlay::dbx::DbxStatusCode;
using namespace bitlay::dbx::status;

}  // namespace bitlay::kicad::status
