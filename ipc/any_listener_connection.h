#pragma once

#include <cstddef>
#include <cstdint>

namespace brellis::ipc {

// One accepted client connection, as the listener's delegate sees it. Equal when it wraps the
// same XPC connection.
class AnyListenerConnection {
 public:
  virtual ~AnyListenerConnection() = default;
  virtual uint64_t id() const = 0;
  virtual int32_t auditSessionIdentifier() const = 0;
  virtual int32_t processIdentifier() const = 0;
  virtual uint32_t effectiveUserIdentifier() const = 0;
  virtual uint32_t effectiveGroupIdentifier() const = 0;
  virtual bool operator==(const AnyListenerConnection& other) const = 0;
  virtual size_t hash() const = 0;
};

}  // namespace brellis::ipc
