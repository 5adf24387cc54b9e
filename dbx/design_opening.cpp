#include "dbx/design_opening.h"

#include "dbx/design_link.h"
#include "dbx/library_loader.h"

namespace bitlay::dbx {

DesignOpening::DesignOpening(std::int32_t mode, std::int32_t timeout, const std::u16string& text)
    : text_(toLatin1(text)) {
    const auto call = reinterpret_cast<TOpenDesignFn>(resolveFunction("TOpenDesign"));
    thread_ = std::thread([this, call, mode, timeout] {
        const DbxStatusCode status = call(mode, timeout, text_.c_str(), &context_);
        const std::lock_guard<std::mutex> lock(mutex_);
        status_ = status;
        returned_ = true;
        returnedChanged_.notify_all();
    });
}

DesignOpening::~DesignOpening() {
    thread_.join();
    if (finished_ || status_ != 0) return;
    try {
        TCloseDesign(context_, u"");
    } catch (...) {
        // The program is ending; a library without TCloseDesign has nothing to let go of.
    }
}

bool DesignOpening::waitFor(std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    return returnedChanged_.wait_for(lock, wait, [this] { return returned_; });
}

DbxStatusCode DesignOpening::finish(DesignContext& context) {
    std::unique_lock<std::mutex> lock(mutex_);
    returnedChanged_.wait(lock, [this] { return returned_; });
    finished_ = true;
    context = context_;
    link::DbxStatus = status_;
    return status_;
}

}  // namespace bitlay::dbx
