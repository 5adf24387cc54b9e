#pragma once

// TOpenDesign on a thread of its own. The library's TOpenDesign blocks until the editor answers,
// which a busy or stopped editor may take long to do; run here, the window can say that it waits
// and let the user stop waiting. Every other DBX call stays on the caller's thread, and so does
// this one's result: the thread fills a context and a status of its own, and finish() hands them
// to the link's variables.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "dbx/records.h"

namespace bitlay::dbx {

class DesignOpening final {
  public:
    // Resolves TOpenDesign here (a LinkError is thrown to the caller, before any thread starts)
    // and starts the call with TOpenDesign's arguments.
    DesignOpening(std::int32_t mode, std::int32_t timeout, const std::u16string& text);
    DesignOpening(const DesignOpening&) = delete;
    DesignOpening& operator=(const DesignOpening&) = delete;
    // Waits for the call to return, however long the library takes: the library is never left
    // inside a call when the program ends. A design attached after the caller gave up waiting is
    // let go with TCloseDesign.
    ~DesignOpening();

    // True once the call has returned; waits at most `wait` for that.
    bool waitFor(std::chrono::milliseconds wait);

    // After the call has returned: its context goes into `context` and its status into
    // link::DbxStatus, as a TOpenDesign on the caller's thread would leave them; returns the
    // status.
    DbxStatusCode finish(DesignContext& context);

  private:
    std::string text_;
    DesignContext context_{};
    DbxStatusCode status_ = 0;
    bool returned_ = false;
    bool finished_ = false;
    std::mutex mutex_;
    std::condition_variable returnedChanged_;
    std::thread thread_;
};

}  // namespace bitlay::dbx
