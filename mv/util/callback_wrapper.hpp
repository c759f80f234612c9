#pragma once

#include <memory>
#include <utility>

namespace mv::util {

// Liveness guard for completion handlers. wrap() binds a handler to the current flag; once the owner
// sets the flag (on destruction or when it abandons its pending operations) the handler does nothing.
// Re-arming after that replaces the flag by a fresh one, so new operations are live again while the
// abandoned ones stay dead.
class callback_wrapper_t {
public:
  using flag_t = std::shared_ptr<bool>;

  callback_wrapper_t() : flag_(std::make_shared<bool>(false)) {}
  callback_wrapper_t(const callback_wrapper_t &) = delete;
  callback_wrapper_t &operator=(const callback_wrapper_t &) = delete;
  virtual ~callback_wrapper_t() { *flag_ = true; }

  template <class Handler> auto wrap(Handler &&handler) {
    rearm();
    return [flag = flag_, h = std::forward<Handler>(handler)](auto &&...args) mutable {
      if (!*flag) h(std::forward<decltype(args)>(args)...);
    };
  }

  // Marks every handler wrapped so far as dead.
  void abandon() noexcept { *flag_ = true; }
  // A fresh flag if the current one is set; no effect otherwise.
  void rearm() {
    if (*flag_) flag_ = std::make_shared<bool>(false);
  }
  bool abandoned() const noexcept { return *flag_; }
  // The current flag, for handlers that test liveness themselves.
  const flag_t &liveness() const noexcept { return flag_; }

private:
  flag_t flag_;
};

} // namespace mv::util
