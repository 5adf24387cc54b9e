#pragma once

// The DBX statuses the stand-in returns, shared by every way it plays the editor.

#include "dbx/records.h"

namespace bitlay::kicad::status {

using bitlay::dbx::DbxStatusCode;

constexpr DbxStatusCode kOk = 0;
constexpr DbxStatusCode kDisconnectError = 32002;
constexpr DbxStatusCode kBadServerData = 32003;
constexpr DbxStatusCode kServerError = 32004;
constexpr DbxStatusCode kFatalError = 32005;
constexpr DbxStatusCode kVersionIncompatible = 32006;
constexpr DbxStatusCode kSecurityError = 32008;
constexpr DbxStatusCode kDatabaseError = 32016;
constexpr DbxStatusCode kServerTerminated = 32102;
constexpr DbxStatusCode kLowMemory = 32103;
constexpr DbxStatusCode kAlreadyConnected = 32104;
constexpr DbxStatusCode kNoConnection = 32105;
constexpr DbxStatusCode kServerBusy = 32106;
constexpr DbxStatusCode kBadInput = 32122;
constexpr DbxStatusCode kNoMoreLayers = 32161;
constexpr DbxStatusCode kInvalidWidth = 32184;
constexpr DbxStatusCode kInvalidLayerId = 32198;
constexpr DbxStatusCode kLayerNotFound = 32216;
constexpr DbxStatusCode kItemOutsideWorkspace = 32232;
constexpr DbxStatusCode kUnableToOpenFile = 32239;

}  // namespace bitlay::kicad::status
