#pragma once

#include <asio/awaitable.hpp>
#include <exception>
#include <memory>

#include "ipc/any_connection.h"

namespace brellis::ipc {

// Told when a connection's underlying XPC connection has failed (never for an explicit
// invalidate()), once per underlying connection, in a task of its own on the connection's
// executor. `didInvalidate` is a ConnectionError (interrupted / invalidated) or the platform's
// error (foundation::ErrorException) of a failed message.
class ConnectionDelegate {
 public:
  virtual ~ConnectionDelegate() = default;
  virtual asio::awaitable<void> connection(std::shared_ptr<AnyConnection> connection,
                                           std::exception_ptr didInvalidate) = 0;
};

}  // namespace brellis::ipc
