#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>

#include "ipc/any_listener.h"
#include "ipc/code_signing_requirement.h"
#include "ipc/listener_connection.h"
#include "ipc/listener_delegate.h"
#include "ipc/module_logger.h"
#include "platform/dispatch/serial_queue.h"
#include "platform/xpc/exported_object.h"
#include "platform/xpc/interface_description.h"
#include "platform/xpc/xpc_listener.h"

namespace brellis::ipc {

// The part of Listener<Interface> that does not depend on the interface type.
//
// Executor: a serial queue (strand) of its own; activate(), invalidate(), the connection set and
// every read of the delegate belong to it. The acceptance decision and the end-of-connection
// handler run on the platform's queues (the XPC listener's and each connection's strand) and
// hand every change of state to new tasks that hop onto the executor. The end-of-connection
// handler holds the listener weakly and the ListenerConnection strongly; the platform drops the
// handlers after invalidation, so there is no cycle.
class ListenerCore : public AnyListener, public std::enable_shared_from_this<ListenerCore> {
 public:
  ListenerCore(std::shared_ptr<const platform::xpc::InterfaceDescription> interface,
               std::shared_ptr<platform::xpc::ExportedObject> exportedObject,
               std::shared_ptr<platform::xpc::XpcListener> listener,
               std::shared_ptr<CodeSigningRequirement> codeSigningRequirement,
               std::weak_ptr<ListenerDelegate> delegate);
  // Logs "listener(0x%lx) deallocated" and invalidates the XPC listener.
  ~ListenerCore() override;

  uint64_t id() const override { return reinterpret_cast<uintptr_t>(this); }
  asio::any_io_executor executor() const { return queue_.executor(); }

  const std::shared_ptr<platform::xpc::ExportedObject>& exportedObject() const {
    return exportedObject_;
  }
  const std::shared_ptr<platform::xpc::XpcListener>& listener() const { return listener_; }
  const std::shared_ptr<CodeSigningRequirement>& codeSigningRequirement() const {
    return codeSigningRequirement_;
  }

  // Sets up client verification and starts the XPC listener. Called once by the owner. The
  // XPC listener's delegate (the acceptance decision) is installed here.
  asio::awaitable<void> activate();
  asio::awaitable<void> invalidate() override;

  // listener(_:shouldAcceptNewConnection:): on the XPC listener's strand; returns at once.
  bool shouldAcceptNewConnection(std::shared_ptr<platform::xpc::XpcConnection> connection);

  // The accepted connections that have not ended yet. On the executor.
  asio::awaitable<size_t> connectionCount();

  const TypeName& typeName() const { return typeName_; }

 private:
  static asio::awaitable<void> addConnection(std::shared_ptr<ListenerCore> self,
                                             std::shared_ptr<ListenerConnection> connection);
  static asio::awaitable<void> removeConnection(std::shared_ptr<ListenerCore> self,
                                                std::shared_ptr<ListenerConnection> connection);
  static void endOfConnection(const std::weak_ptr<ListenerCore>& listener,
                              const std::shared_ptr<ListenerConnection>& connection);

  platform::dispatch::SerialQueue queue_;
  std::shared_ptr<const platform::xpc::InterfaceDescription> interface_;
  std::shared_ptr<platform::xpc::ExportedObject> exportedObject_;
  std::shared_ptr<platform::xpc::XpcListener> listener_;
  std::shared_ptr<CodeSigningRequirement> codeSigningRequirement_;
  // Set before the listener is activated when its requirement could not be set; read by the
  // accepting thread afterwards.
  std::atomic<bool> refuseEveryClient_{false};
  TypeName typeName_;

  // Owned by the executor.
  std::weak_ptr<ListenerDelegate> delegate_;
  std::unordered_set<std::shared_ptr<ListenerConnection>> connections_;
};

}  // namespace brellis::ipc
