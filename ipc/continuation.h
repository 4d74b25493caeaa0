#pragma once

#include <exception>
#include <functional>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "platform/dispatch/once_callback.h"
#include "platform/foundation/error_record.h"
#include "platform/xpc/xpc_error.h"

namespace brellis::ipc {

// A throwing continuation for R that is resumed at most once (a checked continuation): the
// first resume wins, later ones are ignored. If every copy is dropped without a resume, the
// awaiting call raises the platform's invalid-connection error, so no caller waits for ever.
// Copies may be resumed from any thread.
template <class R>
class Continuation {
 public:
  using Stored = std::conditional_t<std::is_void_v<R>, std::monostate, R>;
  using Completion = std::function<void(std::exception_ptr, std::optional<Stored>)>;

  explicit Continuation(Completion completion)
      : once_(std::move(completion), {droppedError(), std::nullopt}) {}

  // What the awaiting call raises when every copy was dropped without a resume.
  static std::exception_ptr droppedError() {
    return std::make_exception_ptr(platform::foundation::ErrorException(platform::xpc::xpcError(
        platform::xpc::kErrorConnectionInvalid, "continuation dropped without being resumed")));
  }

  // Returns whether this call resumed the continuation.
  template <class T = R>
  requires(!std::is_void_v<T>) bool resume(T value) const {
    return once_(nullptr, std::optional<Stored>(std::move(value)));
  }
  template <class T = R>
  requires std::is_void_v<T>
  bool resume() const { return once_(nullptr, std::optional<Stored>(std::monostate{})); }
  bool resume(std::exception_ptr error) const { return once_(std::move(error), std::nullopt); }
  template <class E>
  bool resumeThrowing(E error) const {
    return resume(std::make_exception_ptr(std::move(error)));
  }
  bool hasResumed() const { return once_.hasRun(); }

 private:
  platform::dispatch::OnceCallback<void(std::exception_ptr, std::optional<Stored>)> once_;
};

}  // namespace brellis::ipc
