#pragma once

#include <asio/awaitable.hpp>
#include <cstdint>

namespace brellis::ipc {

// A listener as its delegate and its owners see it.
class AnyListener {
 public:
  virtual ~AnyListener() = default;
  virtual uint64_t id() const = 0;
  // Stops new connections (hops onto the listener's executor).
  virtual asio::awaitable<void> invalidate() = 0;
};

}  // namespace brellis::ipc
