#pragma once

#include <memory>

#include "ipc/any_listener_connection.h"
#include "platform/xpc/exported_object.h"
#include "platform/xpc/xpc_connection.h"

namespace brellis::ipc {

// Listener.Connection: one accepted client and the object exported to it. Equality and hashing
// follow the wrapped XPC connection; id() is the wrapper's own identity.
class ListenerConnection : public AnyListenerConnection {
 public:
  ListenerConnection(std::shared_ptr<platform::xpc::ExportedObject> exportedObject,
                     std::shared_ptr<platform::xpc::XpcConnection> connection)
      : exportedObject_(std::move(exportedObject)), connection_(std::move(connection)) {}

  const std::shared_ptr<platform::xpc::ExportedObject>& exportedObject() const {
    return exportedObject_;
  }
  const std::shared_ptr<platform::xpc::XpcConnection>& connection() const { return connection_; }

  uint64_t id() const override { return reinterpret_cast<uintptr_t>(this); }
  int32_t auditSessionIdentifier() const override { return connection_->auditSessionIdentifier(); }
  int32_t processIdentifier() const override { return connection_->processIdentifier(); }
  uint32_t effectiveUserIdentifier() const override {
    return connection_->effectiveUserIdentifier();
  }
  uint32_t effectiveGroupIdentifier() const override {
    return connection_->effectiveGroupIdentifier();
  }
  bool operator==(const AnyListenerConnection& other) const override {
    auto* o = dynamic_cast<const ListenerConnection*>(&other);
    return o && o->connection_ == connection_;
  }
  size_t hash() const override { return std::hash<const void*>{}(connection_.get()); }

 private:
  std::shared_ptr<platform::xpc::ExportedObject> exportedObject_;
  std::shared_ptr<platform::xpc::XpcConnection> connection_;
};

}  // namespace brellis::ipc
