#include "platform/multipeer/frame.h"

#include <algorithm>
#include <cstring>

namespace brellis::platform::multipeer {

const char* frameErrorText(FrameError error) {
  switch (error) {
    case FrameError::tooLarge:
      return "frame too large";
    case FrameError::emptyFrame:
      return "empty frame";
    case FrameError::unknownType:
      return "unknown frame type";
    case FrameError::malformedPayload:
      return "malformed frame payload";
  }
  return "frame error";
}

namespace {

bool isKnownType(uint8_t type) {
  return type >= static_cast<uint8_t>(FrameType::hello) &&
         type <= static_cast<uint8_t>(FrameType::bye);
}

uint32_t readU32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

}  // namespace

namespace wire {

void putU32(Bytes& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value >> 24));
  out.push_back(static_cast<uint8_t>(value >> 16));
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

void putField(Bytes& out, std::string_view field) {
  putU32(out, static_cast<uint32_t>(field.size()));
  out.insert(out.end(), field.begin(), field.end());
}

void putField(Bytes& out, const Bytes& field) {
  putU32(out, static_cast<uint32_t>(field.size()));
  out.insert(out.end(), field.begin(), field.end());
}

std::optional<uint8_t> Reader::u8() {
  if (size_ - offset_ < 1) return std::nullopt;
  return data_[offset_++];
}

std::optional<uint32_t> Reader::u32() {
  if (size_ - offset_ < 4) return std::nullopt;
  uint32_t value = readU32(data_ + offset_);
  offset_ += 4;
  return value;
}

std::optional<Bytes> Reader::field(size_t maxSize) {
  auto size = u32();
  if (!size || *size > maxSize || *size > size_ - offset_) return std::nullopt;
  Bytes out(data_ + offset_, data_ + offset_ + *size);
  offset_ += *size;
  return out;
}

std::optional<std::string> Reader::text(size_t maxSize) {
  auto bytes = field(maxSize);
  if (!bytes || std::find(bytes->begin(), bytes->end(), 0) != bytes->end()) return std::nullopt;
  return std::string(bytes->begin(), bytes->end());
}

}  // namespace wire

tl::expected<Bytes, FrameError> encodeFrame(const Frame& frame, size_t maxPayload) {
  if (frame.payload.size() > maxPayload) return tl::unexpected(FrameError::tooLarge);
  if (!isKnownType(static_cast<uint8_t>(frame.type))) {
    return tl::unexpected(FrameError::unknownType);
  }
  Bytes out;
  out.reserve(kFrameHeaderSize + frame.payload.size());
  wire::putU32(out, static_cast<uint32_t>(frame.payload.size() + 1));
  out.push_back(static_cast<uint8_t>(frame.type));
  out.insert(out.end(), frame.payload.begin(), frame.payload.end());
  return out;
}

tl::expected<void, FrameError> FrameDecoder::checkHeader() {
  if (buffered() < 4) return {};
  uint32_t length = readU32(buffer_.data() + offset_);
  if (length == 0) return tl::unexpected(FrameError::emptyFrame);
  if (length - 1 > maxPayload_) return tl::unexpected(FrameError::tooLarge);
  if (buffered() >= 5 && !isKnownType(buffer_[offset_ + 4])) {
    return tl::unexpected(FrameError::unknownType);
  }
  return {};
}

tl::expected<void, FrameError> FrameDecoder::feed(const uint8_t* data, size_t size) {
  if (error_) return tl::unexpected(*error_);
  // Compact before growing so that the buffer never holds frames already taken out.
  if (offset_ > 0) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(offset_));
    offset_ = 0;
  }
  buffer_.insert(buffer_.end(), data, data + size);
  auto checked = checkHeader();
  if (!checked) {
    error_ = checked.error();
    buffer_.clear();
  }
  return checked;
}

std::optional<Frame> FrameDecoder::next() {
  if (error_ || buffered() < kFrameHeaderSize) return std::nullopt;
  uint32_t length = readU32(buffer_.data() + offset_);
  if (buffered() - 4 < length) return std::nullopt;
  Frame frame;
  frame.type = static_cast<FrameType>(buffer_[offset_ + 4]);
  const uint8_t* payload = buffer_.data() + offset_ + kFrameHeaderSize;
  frame.payload.assign(payload, payload + (length - 1));
  offset_ += 4 + length;
  // The following header (if its bytes are here) is validated now, so that a bad length is
  // refused before the sender can make us buffer up to it.
  auto checked = checkHeader();
  if (!checked) {
    error_ = checked.error();
    buffer_.clear();
    offset_ = 0;
  }
  return frame;
}

tl::expected<Bytes, FrameError> encodeHello(const Hello& hello) {
  if (hello.displayName.size() > kMaxDisplayNameBytes ||
      hello.uniqueIdentity.size() > kMaxUniqueIdentityBytes ||
      (hello.context && hello.context->size() > kMaxContextBytes)) {
    return tl::unexpected(FrameError::tooLarge);
  }
  Bytes out;
  out.push_back(kHelloVersion);
  wire::putField(out, hello.displayName);
  wire::putField(out, hello.uniqueIdentity);
  out.push_back(hello.encryptionPreference);
  out.push_back(hello.context ? 1 : 0);
  if (hello.context) wire::putField(out, *hello.context);
  return out;
}

tl::expected<Hello, FrameError> decodeHello(const Bytes& payload) {
  const auto malformed = tl::unexpected(FrameError::malformedPayload);
  wire::Reader reader(payload.data(), payload.size());
  auto version = reader.u8();
  if (!version || *version != kHelloVersion) return malformed;
  Hello hello;
  auto name = reader.text(kMaxDisplayNameBytes);
  auto identity = reader.text(kMaxUniqueIdentityBytes);
  auto preference = reader.u8();
  auto hasContext = reader.u8();
  if (!name || !identity || identity->empty() || !preference || *preference > 2 || !hasContext ||
      *hasContext > 1) {
    return malformed;
  }
  hello.displayName = std::move(*name);
  hello.uniqueIdentity = std::move(*identity);
  hello.encryptionPreference = *preference;
  if (*hasContext == 1) {
    auto context = reader.field(kMaxContextBytes);
    if (!context) return malformed;
    hello.context = std::move(*context);
  }
  if (!reader.atEnd()) return malformed;
  return hello;
}

}  // namespace brellis::platform::multipeer
