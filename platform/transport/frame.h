#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <tl/expected.hpp>
#include <vector>

#include "platform/transport/byte_codec.h"
#include "platform/transport/unique_fd.h"

namespace brellis::platform::transport {

// The frames of every stream socket between our processes (XPC connections, the local peer
// link). On the wire: an 8-byte header — payload length (u32), type (u8), protocol version (u8),
// descriptor count (u16), little-endian — then the payload. Descriptors travel beside the bytes
// (SCM_RIGHTS, see socket_io.h); the header says how many belong to the frame.
inline constexpr size_t kFrameHeaderSize = 8;

// What one protocol accepts. A frame outside it is a protocol violation.
struct FrameFormat {
  uint8_t version = 1;
  uint8_t firstType = 1;  // the valid types, inclusive
  uint8_t lastType = 255;
  size_t maxFrameSize = 16 * 1024 * 1024;  // header included
  size_t maxDescriptors = 0;               // per frame; 0 for a stream that carries none
};

enum class FrameError {
  tooLarge,
  unknownType,
  unknownVersion,
  tooManyDescriptors,          // a header that claims more than the format allows
  tooManyDescriptorsReceived,  // descriptors piling up beyond what any frame could claim
  descriptorsMissing,          // a complete frame whose descriptors have not arrived
};
const char* frameErrorText(FrameError error);

// Leaves room for the header at the start of `out`; the payload follows, then finishFrame.
inline void beginFrame(ByteWriter& out) {
  for (size_t i = 0; i < kFrameHeaderSize; ++i) out.u8(0);
}
// Fills in the header of a frame begun with beginFrame, after checking it against `format`.
tl::expected<void, FrameError> finishFrame(Bytes& frame, uint8_t type, size_t descriptors,
                                           const FrameFormat& format);
// A frame without descriptors, in one piece.
tl::expected<Bytes, FrameError> encodeFrame(uint8_t type, std::span<const uint8_t> payload,
                                            const FrameFormat& format);

// One frame cut out of the stream. `payload` points into the reader's buffer and stays valid
// until the reader's next push() or next().
struct FrameView {
  uint8_t type = 0;
  std::span<const uint8_t> payload;
  std::vector<UniqueFd> fds;
};

// Accumulates what a socket delivers (bytes and descriptors, in arrival order) and cuts it into
// frames. A header is checked as soon as its 8 bytes are here, so a bad length is refused before
// its payload is awaited. Every failure is final: the stream must be dropped. Descriptors that
// do not end up in a returned frame are closed.
class FrameReader {
 public:
  explicit FrameReader(FrameFormat format) : format_(format) {}

  void push(std::span<const uint8_t> bytes);
  void pushDescriptor(UniqueFd fd);

  // The next complete frame, nullopt when more bytes are needed, or the failure.
  tl::expected<std::optional<FrameView>, FrameError> next();

  bool failed() const { return error_.has_value(); }
  size_t bufferedBytes() const { return buffer_.size() - offset_ - consumed_; }
  size_t bufferedDescriptors() const { return fds_.size(); }

 private:
  void release();  // drops the bytes of the frame last returned
  tl::expected<std::optional<FrameView>, FrameError> fail(FrameError error);

  FrameFormat format_;
  Bytes buffer_;
  size_t offset_ = 0;
  size_t consumed_ = 0;  // the size of the frame last returned, released at the next call
  std::deque<UniqueFd> fds_;
  std::optional<FrameError> error_;
};

}  // namespace brellis::platform::transport
