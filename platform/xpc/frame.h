#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <tl/expected.hpp>
#include <vector>

#include "platform/xpc/connection_limits.h"
#include "platform/xpc/unique_fd.h"
#include "platform/xpc/value.h"

namespace brellis::platform::xpc {

// One message of the connection protocol. On the wire: an 8-byte header (payload length,
// little-endian u32; type u8; protocol version u8; descriptor count, little-endian u16) and the
// payload. Descriptors (fd values, endpoints) travel beside the bytes with SCM_RIGHTS; a value
// names its descriptor by index, and each descriptor of a frame is named exactly once.
enum class FrameType : uint8_t {
  hello = 1,         // first frame of each side; carries SCM_CREDENTIALS
  call = 2,          // {id, selector, wantsReply, arguments}
  reply = 3,         // {id, values}
  replyDropped = 4,  // {id}: the exported object dropped the reply block unanswered
};

inline constexpr uint8_t kProtocolVersion = 1;
inline constexpr size_t kFrameHeaderSize = 8;

struct Frame {
  FrameType type = FrameType::hello;
  uint64_t id = 0;
  std::string selector;
  bool wantsReply = false;
  std::vector<Value> values;
};

struct EncodedFrame {
  Bytes bytes;                // header and payload
  std::vector<SharedFd> fds;  // in index order
};

// Fails (with a reason) when the frame exceeds a limit or holds an invalid descriptor.
tl::expected<EncodedFrame, std::string> encodeFrame(const Frame& frame,
                                                    const ConnectionLimits& limits);

// Accumulates what a socket delivers (bytes and received descriptors, in arrival order) and
// cuts it into frames. Every failure is final: the connection must be dropped. Descriptors that
// do not end up inside a returned frame are closed.
class FrameReader {
 public:
  explicit FrameReader(ConnectionLimits limits = {}) : limits_(limits) {}

  void push(std::span<const uint8_t> bytes);
  void pushDescriptor(UniqueFd fd);

  // The next complete frame, nullopt when more bytes are needed, or the reason of a failure.
  tl::expected<std::optional<Frame>, std::string> next();

  size_t bufferedBytes() const { return buffer_.size() - offset_; }
  size_t bufferedDescriptors() const { return fds_.size(); }

 private:
  ConnectionLimits limits_;
  Bytes buffer_;
  size_t offset_ = 0;
  std::deque<UniqueFd> fds_;
};

// Decodes one payload whose header has been read; `fds` are the frame's descriptors.
tl::expected<Frame, std::string> decodePayload(FrameType type, std::span<const uint8_t> payload,
                                               std::vector<UniqueFd> fds,
                                               const ConnectionLimits& limits);

}  // namespace brellis::platform::xpc
