#pragma once

#include <memory>
#include <string>

#include "ipc/listener_core.h"
#include "ipc/xpc_interface.h"

namespace brellis::ipc {

// The server end of an XPC interface: owns one XPC listener, decides for each client whether to
// accept it, exports one object on every accepted connection and keeps the accepted connections
// while they live. Created inactive; the owner calls activate() once. See ListenerCore.
template <XpcInterface Interface>
class Listener : public ListenerCore {
 public:
  using Connection = ListenerConnection;

  // init(interface:exportedObject:listener:codeSigningRequirement:delegate:)
  static std::shared_ptr<Listener> withListener(
      std::shared_ptr<platform::xpc::ExportedObject> exportedObject,
      std::shared_ptr<platform::xpc::XpcListener> listener,
      std::shared_ptr<CodeSigningRequirement> codeSigningRequirement = nullptr,
      std::weak_ptr<ListenerDelegate> delegate = {}) {
    return std::shared_ptr<Listener>(new Listener(std::move(exportedObject), std::move(listener),
                                                  std::move(codeSigningRequirement),
                                                  std::move(delegate)));
  }

  // init(interface:exportedObject:machServiceName:codeSigningRequirement:delegate:). `options`
  // chooses the service directory (kConnectionPrivileged: the system one, as for a daemon).
  static std::shared_ptr<Listener> withMachServiceName(
      std::shared_ptr<platform::xpc::ExportedObject> exportedObject, std::string machServiceName,
      std::shared_ptr<CodeSigningRequirement> codeSigningRequirement = nullptr,
      std::weak_ptr<ListenerDelegate> delegate = {},
      uint64_t options = platform::xpc::kConnectionPrivileged) {
    return withListener(
        std::move(exportedObject),
        platform::xpc::XpcListener::makeWithMachServiceName(std::move(machServiceName), options),
        std::move(codeSigningRequirement), std::move(delegate));
  }

 private:
  Listener(std::shared_ptr<platform::xpc::ExportedObject> exportedObject,
           std::shared_ptr<platform::xpc::XpcListener> listener,
           std::shared_ptr<CodeSigningRequirement> requirement,
           std::weak_ptr<ListenerDelegate> delegate)
      : ListenerCore(Interface::description(), std::move(exportedObject), std::move(listener),
                     std::move(requirement), std::move(delegate)) {}
};

}  // namespace brellis::ipc
