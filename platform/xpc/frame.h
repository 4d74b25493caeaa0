#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <tl/expected.hpp>
#include <vector>

#include "platform/transport/frame.h"
#include "platform/xpc/connection_limits.h"
#include "platform/xpc/value.h"

namespace brellis::platform::xpc {

// One message of the connection protocol, in a transport frame (platform/transport/frame.h).
// Descriptors (fd values, endpoints) travel beside the bytes; a value names its descriptor by
// index, and each descriptor of a frame is named exactly once.
enum class FrameType : uint8_t {
  hello = 1,         // first frame of each side; carries SCM_CREDENTIALS
  call = 2,          // {id, selector, wantsReply, arguments}
  reply = 3,         // {id, values}
  replyDropped = 4,  // {id}: the exported object dropped the reply block unanswered
};

inline constexpr uint8_t kProtocolVersion = 1;
using transport::kFrameHeaderSize;

// The transport's checks for this protocol under `limits`.
transport::FrameFormat frameFormat(const ConnectionLimits& limits);

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

// The transport's frame reader, decoding each frame's payload. Every failure is final: the
// connection must be dropped.
class FrameReader {
 public:
  explicit FrameReader(ConnectionLimits limits = {})
      : limits_(limits), frames_(frameFormat(limits)) {}

  void push(std::span<const uint8_t> bytes) { frames_.push(bytes); }
  void pushDescriptor(UniqueFd fd) { frames_.pushDescriptor(std::move(fd)); }

  // The next complete frame, nullopt when more bytes are needed, or the reason of a failure.
  tl::expected<std::optional<Frame>, std::string> next();

  size_t bufferedBytes() const { return frames_.bufferedBytes(); }
  size_t bufferedDescriptors() const { return frames_.bufferedDescriptors(); }

 private:
  ConnectionLimits limits_;
  transport::FrameReader frames_;
  bool failed_ = false;
};

// Decodes one payload whose header has been read; `fds` are the frame's descriptors.
tl::expected<Frame, std::string> decodePayload(FrameType type, std::span<const uint8_t> payload,
                                               std::vector<UniqueFd> fds,
                                               const ConnectionLimits& limits);

}  // namespace brellis::platform::xpc
