#include "platform/multipeer/frame.h"

#include <algorithm>

namespace brellis::platform::multipeer {

transport::FrameFormat linkFrameFormat(size_t maxPayload) {
  return transport::FrameFormat{kLinkProtocolVersion, static_cast<uint8_t>(FrameType::hello),
                                static_cast<uint8_t>(FrameType::bye),
                                maxPayload + transport::kFrameHeaderSize, 0};
}

std::optional<Bytes> encodeFrame(const Frame& frame, size_t maxPayload) {
  auto bytes = transport::encodeFrame(static_cast<uint8_t>(frame.type), frame.payload,
                                      linkFrameFormat(maxPayload));
  if (!bytes) return std::nullopt;
  return std::move(*bytes);
}

bool readText(transport::ByteReader& reader, size_t maxSize, std::string& out) {
  std::span<const uint8_t> field;
  if (!reader.field(field, maxSize) || std::find(field.begin(), field.end(), 0) != field.end()) {
    return false;
  }
  out.assign(field.begin(), field.end());
  return true;
}

std::optional<Bytes> encodeHello(const Hello& hello) {
  if (hello.displayName.size() > kMaxDisplayNameBytes ||
      hello.uniqueIdentity.size() > kMaxUniqueIdentityBytes ||
      (hello.context && hello.context->size() > kMaxContextBytes)) {
    return std::nullopt;
  }
  transport::ByteWriter out;
  out.u8(kHelloVersion);
  out.field(hello.displayName);
  out.field(hello.uniqueIdentity);
  out.u8(hello.encryptionPreference);
  out.u8(hello.context ? 1 : 0);
  if (hello.context) out.field(*hello.context);
  return out.take();
}

std::optional<Hello> decodeHello(const Bytes& payload) {
  transport::ByteReader reader(payload);
  uint8_t version = 0;
  uint8_t hasContext = 0;
  Hello hello;
  if (!reader.u8(version) || version != kHelloVersion ||
      !readText(reader, kMaxDisplayNameBytes, hello.displayName) ||
      !readText(reader, kMaxUniqueIdentityBytes, hello.uniqueIdentity) ||
      hello.uniqueIdentity.empty() || !reader.u8(hello.encryptionPreference) ||
      hello.encryptionPreference > 2 || !reader.u8(hasContext) || hasContext > 1) {
    return std::nullopt;
  }
  if (hasContext == 1) {
    std::span<const uint8_t> context;
    if (!reader.field(context, kMaxContextBytes)) return std::nullopt;
    hello.context = Bytes(context.begin(), context.end());
  }
  if (!reader.atEnd()) return std::nullopt;
  return hello;
}

}  // namespace brellis::platform::multipeer
