#pragma once

// The commits of one board in a running KiCad, as the live design makes them: one per transfer,
// each its footprint and one undo step. Every call is made on the design's thread, with no lock
// held, and waits for KiCad however long it takes: the design gives a call up by aborting the
// connection.

#include <cstddef>
#include <string>

#include "dbx-kicad/api/kicad_ipc.h"
#include "dbx-kicad/api/proto/board_types.pb.h"
#include "dbx-kicad/api/proto/common_types.pb.h"
#include "dbx-kicad/design.h"

namespace bitlay::kicad {

// A commit KiCad was asked to open: its id when `call` went through.
struct OpenedCommit {
    CallResult call;
    std::string id;
};

class BoardCommits final {
  public:
    BoardCommits(KicadIpc& ipc, const kiapi::common::types::DocumentSpecifier& board) noexcept
        : ipc_(ipc), board_(board) {}

    // Opens a commit.
    OpenedCommit begin();

    // Ends the commit open for this client, whichever it is, taking back what it holds.
    CallResult drop();

    // The footprint in the open commit `commitId`, the commit ended as one undo step named for
    // its `lines`, the footprint selected. Its lines were reported placed, so a KiCad that turned
    // busy is waited for, however long.
    DbxStatusCode deliver(const kiapi::board::types::FootprintInstance& footprint,
                          std::size_t lines, const std::string& commitId);

  private:
    CallResult callWhenTaken(const google::protobuf::Message& request,
                             google::protobuf::Message* response);
    void select(const std::string& footprintId);

    KicadIpc& ipc_;
    const kiapi::common::types::DocumentSpecifier& board_;
};

}  // namespace bitlay::kicad
