#pragma once

// The requests whose replies the reply target reads, numbered as the first byte of its inputs.

namespace bitlay::fuzz {

enum class Request : unsigned char {
    kGetVersion,
    kGetOpenDocuments,
    kGetBoardEnabledLayers,
    kGetBoardLayerName,
    kSaveDocumentToString,
    kBeginCommit,
    kCreateItems,
    kNoPayload,
};
constexpr unsigned kRequests = 8;

}  // namespace bitlay::fuzz
