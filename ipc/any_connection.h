#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace brellis::ipc {

// What a connection is to its delegate: an identity (the object's address), nothing else.
class AnyConnection {
 public:
  virtual ~AnyConnection() = default;
  virtual uint64_t id() const = 0;

  bool operator==(const AnyConnection& other) const { return id() == other.id(); }
  size_t hash() const { return std::hash<uint64_t>{}(id()); }
};

}  // namespace brellis::ipc
