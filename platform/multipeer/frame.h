#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/plist_value.h"
#include "platform/transport/frame.h"

namespace brellis::platform::multipeer {

using foundation::Bytes;

// The frames of the local link: transport frames (platform/transport/frame.h) that carry no
// descriptors, with these types.
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
inline constexpr uint8_t kLinkProtocolVersion = 1;

// The transport's checks for the link's frames.
transport::FrameFormat linkFrameFormat(size_t maxPayload = kMaxFramePayload);

// Encodes one frame; nullopt when the payload exceeds `maxPayload`.
std::optional<Bytes> encodeFrame(const Frame& frame, size_t maxPayload = kMaxFramePayload);

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

std::optional<Bytes> encodeHello(const Hello& hello);
std::optional<Hello> decodeHello(const Bytes& payload);

// A field (u32 length, bytes) of at most `maxSize` bytes, none of them NUL.
bool readText(transport::ByteReader& reader, size_t maxSize, std::string& out);

}  // namespace brellis::platform::multipeer
