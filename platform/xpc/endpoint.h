#pragma once

#include "platform/transport/unique_fd.h"

namespace brellis::platform::xpc {

// Descriptors are owned as the transport owns them.
using transport::makeSharedFd;
using transport::SharedFd;
using transport::UniqueFd;

// The address of an anonymous listener. It is a capability, not a name: whoever holds an
// Endpoint can connect to the listener, and the only way to obtain one is from the listener
// itself or inside a message. It wraps the far end of the listener's rendezvous socket (a
// SOCK_SEQPACKET socket pair); copies share that descriptor, and it travels in messages as a
// descriptor (SCM_RIGHTS).
class Endpoint {
 public:
  Endpoint() = default;
  explicit Endpoint(SharedFd rendezvous) : rendezvous_(std::move(rendezvous)) {}

  bool valid() const { return rendezvous_ && rendezvous_->valid(); }
  const SharedFd& rendezvous() const { return rendezvous_; }

  // Two endpoints are equal when they share the same descriptor object.
  bool operator==(const Endpoint& other) const { return rendezvous_ == other.rendezvous_; }

 private:
  SharedFd rendezvous_;
};

}  // namespace brellis::platform::xpc
