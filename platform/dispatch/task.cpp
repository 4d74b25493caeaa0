#include "platform/dispatch/task.h"

#include <asio/dispatch.hpp>

namespace brellis::platform::dispatch {

void TaskHandle::cancel() {
  if (!state_) return;
  // The signal may only be emitted on the task's executor.
  asio::dispatch(executor_, [state = state_] { state->signal.emit(asio::cancellation_type::all); });
}

}  // namespace brellis::platform::dispatch
