#pragma once

// The four functions the stand-in library exports, for code that links it directly (its own
// tests and benchmark). The tool itself never includes this: it resolves the names at run time.

#include <cstdint>

#include "dbx/records.h"

DBX_EXPORT bitlay::dbx::DbxStatusCode DBX_CALL TOpenDesign(std::int32_t reserved,
                                                           std::int32_t timeoutHint,
                                                           const char* designName,
                                                           bitlay::dbx::DesignContext* context);
DBX_EXPORT bitlay::dbx::DbxStatusCode DBX_CALL TGetLayerById(bitlay::dbx::DesignContext* context,
                                                             std::int32_t layerId,
                                                             bitlay::dbx::LayerRecord8* layer);
DBX_EXPORT bitlay::dbx::DbxStatusCode DBX_CALL TPlaceLine(bitlay::dbx::DesignContext* context,
                                                          bitlay::dbx::LineRecord* line);
DBX_EXPORT bitlay::dbx::DbxStatusCode DBX_CALL TCloseDesign(bitlay::dbx::DesignContext* context,
                                                            const char* options);
