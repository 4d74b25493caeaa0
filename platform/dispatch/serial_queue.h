#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/post.hpp>
#include <asio/strand.hpp>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <type_traits>

#include "platform/dispatch/main_loop.h"

namespace brellis::platform::dispatch {

// A serial queue: an asio strand with a label. Work submitted to it runs one item at a time, in
// submission order, on a thread of the underlying executor (the global pool by default).
class SerialQueue {
 public:
  using Strand = asio::strand<asio::any_io_executor>;

  explicit SerialQueue(std::string label, asio::any_io_executor base = globalExecutor());
  SerialQueue(const SerialQueue&) = delete;
  SerialQueue& operator=(const SerialQueue&) = delete;

  const std::string& label() const { return state_->label; }
  const Strand& strand() const { return state_->strand; }
  asio::any_io_executor executor() const { return state_->strand; }

  // True when the calling thread is currently running an item of this queue.
  bool isCurrent() const { return state_->strand.running_in_this_thread(); }

  // Runs fn on the queue later; never inline.
  void async(std::function<void()> fn) const { asio::post(state_->strand, std::move(fn)); }

  // Runs fn on the queue and waits for it. Called from the queue itself, fn runs inline (a
  // blocking wait there would never return).
  template <class F>
  auto sync(F&& fn) const -> std::invoke_result_t<F> {
    using R = std::invoke_result_t<F>;
    if (isCurrent()) return fn();
    std::packaged_task<R()> task(std::forward<F>(fn));
    auto future = task.get_future();
    asio::post(state_->strand, [&task] { task(); });
    return future.get();
  }

 private:
  struct State {
    std::string label;
    Strand strand;
  };
  std::shared_ptr<State> state_;
};

}  // namespace brellis::platform::dispatch
