#pragma once

// Runs a function when the scope ends, on every path: the one guard for a
// handle that only needs one call to be given back.

#include <utility>

namespace tolvex::core {

template <class Fn>
class [[nodiscard]] ScopeExit {
  public:
    explicit ScopeExit(Fn fn) : fn_(std::move(fn)) {}
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;
    ~ScopeExit() { fn_(); }

  private:
    Fn fn_;
};

template <class Fn>
ScopeExit<Fn> make_scope_exit(Fn fn) {
    return ScopeExit<Fn>(std::move(fn));
}

}  // namespace tolvex::core
