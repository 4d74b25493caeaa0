#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>

#include "ipc/any_connection.h"
#include "ipc/code_signing_requirement.h"
#include "ipc/connection_delegate.h"
#include "ipc/connection_error.h"
#include "ipc/module_logger.h"
#include "platform/dispatch/serial_queue.h"
#include "platform/xpc/endpoint.h"
#include "platform/xpc/interface_description.h"
#include "platform/xpc/remote_proxy.h"
#include "platform/xpc/xpc_connection.h"

namespace brellis::ipc {

// The part of Connection<Interface> that does not depend on the interface type: the recipe,
// the state machine, activation, the failure step and the delegate notification.
//
// Executor: a serial queue (strand) of its own; activation, invalidate() and the getters run
// there. The platform calls the interruption, invalidation and proxy error handlers on the XPC
// connection's own strand; the failure step they run shares `state` and `connection` with the
// activation step under one mutex. Each underlying XPC connection gets a generation number, and
// its handlers carry it: a failure reported for an older generation never touches a newer one.
class ConnectionCore : public AnyConnection, public std::enable_shared_from_this<ConnectionCore> {
 public:
  struct ServiceName {
    std::string name;
  };
  struct MachServiceName {
    std::string name;
    uint64_t options = 0;
  };
  struct ListenerEndpoint {
    platform::xpc::Endpoint endpoint;
  };
  using Factory = std::variant<ServiceName, MachServiceName, ListenerEndpoint>;

  enum class State { active, invalid, initialized };

  ConnectionCore(std::shared_ptr<const platform::xpc::InterfaceDescription> interface,
                 Factory factory, std::shared_ptr<CodeSigningRequirement> codeSigningRequirement,
                 std::weak_ptr<ConnectionDelegate> delegate);
  ~ConnectionCore() override;

  uint64_t id() const override { return reinterpret_cast<uintptr_t>(this); }
  asio::any_io_executor executor() const { return queue_.executor(); }

  // The combined requirement text read at creation; absent when none or empty.
  const std::optional<std::string>& codeSigningRequirement() const { return requirementText_; }
  std::shared_ptr<ConnectionDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<ConnectionDelegate> delegate);

  // Ends the current XPC connection without telling the delegate. On the executor.
  asio::awaitable<void> invalidate();

  // The current XPC connection's peer identifiers. On the executor.
  asio::awaitable<int32_t> auditSessionIdentifier();
  asio::awaitable<int32_t> processIdentifier();
  asio::awaitable<uint32_t> effectiveUserIdentifier();
  asio::awaitable<uint32_t> effectiveGroupIdentifier();

  // The type's name for the module logger ("Connection<Name>").
  const TypeName& typeName() const { return typeName_; }

  // For tests: the current state and the current XPC connection.
  State stateForTesting() const;
  std::shared_ptr<platform::xpc::XpcConnection> xpcConnectionForTesting() const;

 protected:
  // Both run on the executor, at the start of a proxy call: the activation step, then a proxy
  // whose error handler logs, runs the failure step and passes the error to `complete`.
  platform::xpc::RemoteProxy activateAndMakeProxy(std::function<void(std::exception_ptr)> complete);
  void logWillProvideProxy(const std::string& function) const;

 private:
  std::shared_ptr<platform::xpc::XpcConnection> makeXpcConnection() const;
  void activationStep();
  void invalidateLocked(std::unique_lock<std::mutex>& lock);
  void handlerFired(uint64_t generation, ConnectionError::Case errorCase);
  void failureStep(uint64_t generation, std::exception_ptr error);
  template <class T>
  T readConnection(T (platform::xpc::XpcConnection::*getter)() const) const;
  static asio::awaitable<void> notifyDelegate(std::shared_ptr<ConnectionCore> self,
                                              std::exception_ptr error);

  platform::dispatch::SerialQueue queue_;
  std::shared_ptr<const platform::xpc::InterfaceDescription> interface_;
  const Factory factory_;
  std::optional<std::string> requirementText_;
  TypeName typeName_;

  mutable std::mutex mutex_;
  std::shared_ptr<platform::xpc::XpcConnection> connection_;
  State state_ = State::initialized;
  uint64_t generation_ = 1;
  std::weak_ptr<ConnectionDelegate> delegate_;
};

}  // namespace brellis::ipc
