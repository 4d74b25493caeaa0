#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tl/expected.hpp>

#include "platform/foundation/plist_value.h"

namespace brellis::platform::multipeer {

using foundation::Bytes;

// The frames of the local link. On the wire: a 4-byte big-endian length L, then L bytes of which
// the first is the type and the rest the payload. L counts the type byte, so it is at least 1.
enum class FrameType : uint8_t {
  hello = 1,    // inviter -> advertiser: who invites, with which context
  accept = 2,   // advertiser -> inviter: the invitation is accepted; the link is connected
  decline = 3,  // advertiser -> inviter: the invitation is declined
  data = 4,     // either way, once connected: one message
  bye = 5,      // either way: the sender leaves the session
};

struct Frame {
  FrameType type = FrameType::data;
  Bytes payload;
  bool operator==(const Frame&) const = default;
};

// The largest payload one frame may carry. Larger frames are refused by the sender and treated
// as a protocol error by the receiver (the link is cut).
inline constexpr size_t kMaxFramePayload = 4 * 1024 * 1024;
inline constexpr size_t kFrameHeaderSize = 5;  // length + type

enum class FrameError {
  tooLarge,          // a length above the cap
  emptyFrame,        // a length of 0 (no type byte)
  unknownType,       // a type outside hello..bye
  malformedPayload,  // a payload that does not parse for its type
};
const char* frameErrorText(FrameError error);

// Encodes one frame; the payload must not exceed `maxPayload`.
tl::expected<Bytes, FrameError> encodeFrame(const Frame& frame,
                                            size_t maxPayload = kMaxFramePayload);

// Splits a byte stream into frames. Holds at most one frame's worth of bytes beyond what has been
// taken out; after an error it stays failed (a link that sent garbage is not trusted again).
class FrameDecoder {
 public:
  explicit FrameDecoder(size_t maxPayload = kMaxFramePayload) : maxPayload_(maxPayload) {}

  // Appends received bytes. Returns the error (and stays failed) as soon as a header is invalid.
  tl::expected<void, FrameError> feed(const uint8_t* data, size_t size);
  // The next complete frame, if any.
  std::optional<Frame> next();
  bool failed() const { return error_.has_value(); }
  std::optional<FrameError> error() const { return error_; }
  size_t buffered() const { return buffer_.size() - offset_; }

 private:
  tl::expected<void, FrameError> checkHeader();
  size_t maxPayload_;
  Bytes buffer_;
  size_t offset_ = 0;
  std::optional<FrameError> error_;
};

// The payload of a hello frame: the inviter's peer, its session's encryption preference and the
// invitation context (absent and empty are different: absent means the inviter gave none).
struct Hello {
  std::string displayName;
  std::string uniqueIdentity;
  uint8_t encryptionPreference = 0;
  std::optional<Bytes> context;
  bool operator==(const Hello&) const = default;
};

// Limits of the hello fields; a hello outside them is malformed.
inline constexpr size_t kMaxDisplayNameBytes = 255;
inline constexpr size_t kMaxUniqueIdentityBytes = 255;
inline constexpr size_t kMaxContextBytes = 64 * 1024;
inline constexpr uint8_t kHelloVersion = 1;

tl::expected<Bytes, FrameError> encodeHello(const Hello& hello);
tl::expected<Hello, FrameError> decodeHello(const Bytes& payload);

// Little helpers for the length-prefixed fields shared by the hello payload and the descriptor.
namespace wire {
void putU32(Bytes& out, uint32_t value);
void putField(Bytes& out, std::string_view field);
void putField(Bytes& out, const Bytes& field);

// A bounded reader: every read checks the remaining size; nothing reads past the end.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  std::optional<uint8_t> u8();
  std::optional<uint32_t> u32();
  std::optional<Bytes> field(size_t maxSize);
  std::optional<std::string> text(size_t maxSize);
  bool atEnd() const { return offset_ == size_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t offset_ = 0;
};
}  // namespace wire

}  // namespace brellis::platform::multipeer
