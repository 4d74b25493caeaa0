#pragma once

#include <asio/awaitable.hpp>
#include <memory>

#include "ipc/any_listener.h"
#include "ipc/any_listener_connection.h"
#include "platform/xpc/xpc_connection.h"

namespace brellis::ipc {

// Told of each accepted connection: after it joined the listener's set and before it is
// configured and activated (didAdd), and after it ended and before it leaves the set
// (didInvalidate). Both run in tasks off the listener's executor and are awaited there.
class ListenerDelegate {
 public:
  virtual ~ListenerDelegate() = default;
  virtual asio::awaitable<void> listener(std::shared_ptr<AnyListener> listener,
                                         std::shared_ptr<AnyListenerConnection> didAdd) = 0;
  virtual asio::awaitable<void> listener(
      std::shared_ptr<AnyListener> listener, std::shared_ptr<AnyListenerConnection> didInvalidate,
      std::shared_ptr<platform::xpc::XpcConnection> xpcConnection) = 0;
};

}  // namespace brellis::ipc
