#pragma once

#include <exception>
#include <utility>

namespace bitlay::numeric {

// Runs a cleanup when the scope it guards is left, by return or by an exception. The cleanup
// must not throw.
template <class Cleanup>
class ScopeExit final {
  public:
    explicit ScopeExit(Cleanup cleanup) : cleanup_(std::move(cleanup)) {}
    ~ScopeExit() { cleanup_(); }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;

  private:
    Cleanup cleanup_;
};

// Runs a cleanup only when the scope it guards is left by an exception.
template <class Cleanup>
class ScopeFail final {
  public:
    explicit ScopeFail(Cleanup cleanup) : cleanup_(std::move(cleanup)) {}
    ~ScopeFail() {
        if (std::uncaught_exceptions() > exceptionsAtStart_) cleanup_();
    }
    ScopeFail(const ScopeFail&) = delete;
    ScopeFail& operator=(const ScopeFail&) = delete;

  private:
    Cleanup cleanup_;
    int exceptionsAtStart_ = std::uncaught_exceptions();
};

}  // namespace bitlay::numeric
