#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace brellis::platform::xpc {

// Bounds applied to everything a peer sends; a peer that exceeds one is dropped.
struct ConnectionLimits {
  size_t maxFrameSize = 16 * 1024 * 1024;  // bytes of one message, header included
  size_t maxNesting = 32;                  // depth of arrays, dictionaries and error user info
  size_t maxDescriptors = 32;              // descriptors and endpoints in one message
  size_t maxPendingCalls = 4096;           // calls awaiting a reply on one connection
  // How long a new connection may take to present its credentials, and how long a client of an
  // anonymous listener keeps retrying (every 10 ms) while the listener's rendezvous queue is full,
  // before giving up. A named service whose backlog is full is not retried.
  std::chrono::milliseconds handshakeTimeout{10000};
};

}  // namespace brellis::platform::xpc
