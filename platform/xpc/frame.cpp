#include "platform/xpc/frame.h"

#include "platform/xpc/value_codec.h"

namespace brellis::platform::xpc {

tl::expected<EncodedFrame, std::string> encodeFrame(const Frame& frame,
                                                    const ConnectionLimits& limits) {
  EncodedFrame out;
  ValueWriter w(limits, out.fds);
  for (int i = 0; i < 8; ++i) w.u8(0);  // header, filled in below
  bool ok = true;
  switch (frame.type) {
    case FrameType::hello:
      break;
    case FrameType::call:
      w.u64(frame.id);
      ok = w.sized(frame.selector);
      w.u8(frame.wantsReply ? 1 : 0);
      [[fallthrough]];
    case FrameType::reply:
      if (frame.type == FrameType::reply) w.u64(frame.id);
      w.u32(static_cast<uint32_t>(frame.values.size()));
      for (const auto& v : frame.values) ok = ok && w.value(v, 1);
      break;
    case FrameType::replyDropped:
      w.u64(frame.id);
      break;
    default:
      return tl::unexpected(std::string("unknown frame type"));
  }
  if (!ok) return tl::unexpected(w.error());
  auto& bytes = w.bytes();
  if (bytes.size() > limits.maxFrameSize) return tl::unexpected(std::string("frame too large"));
  uint32_t length = static_cast<uint32_t>(bytes.size() - kFrameHeaderSize);
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(length >> (8 * i));
  bytes[4] = static_cast<uint8_t>(frame.type);
  bytes[5] = kProtocolVersion;
  bytes[6] = static_cast<uint8_t>(out.fds.size());
  bytes[7] = static_cast<uint8_t>(out.fds.size() >> 8);
  out.bytes = std::move(bytes);
  return out;
}

tl::expected<Frame, std::string> decodePayload(FrameType type, std::span<const uint8_t> payload,
                                               std::vector<UniqueFd> fds,
                                               const ConnectionLimits& limits) {
  Frame frame;
  frame.type = type;
  ValueReader r(payload, fds, limits);
  bool ok = true;
  switch (type) {
    case FrameType::hello:
      break;
    case FrameType::call: {
      uint8_t wants = 0;
      ok = r.u64(frame.id) && r.text(frame.selector) && r.u8(wants) && r.values(frame.values);
      if (ok && wants > 1) ok = r.fail("invalid reply flag");
      frame.wantsReply = wants == 1;
      break;
    }
    case FrameType::reply:
      ok = r.u64(frame.id) && r.values(frame.values);
      break;
    case FrameType::replyDropped:
      ok = r.u64(frame.id);
      break;
    default:
      return tl::unexpected(std::string("unknown frame type"));
  }
  if (!ok || !r.finish()) return tl::unexpected(r.error());
  return frame;
}

void FrameReader::push(std::span<const uint8_t> bytes) {
  if (offset_ > 0 && offset_ == buffer_.size()) {
    buffer_.clear();
    offset_ = 0;
  }
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

void FrameReader::pushDescriptor(UniqueFd fd) { fds_.push_back(std::move(fd)); }

tl::expected<std::optional<Frame>, std::string> FrameReader::next() {
  if (fds_.size() > 2 * limits_.maxDescriptors) {
    return tl::unexpected(std::string("too many descriptors received"));
  }
  if (bufferedBytes() < kFrameHeaderSize) return std::optional<Frame>();
  const uint8_t* h = buffer_.data() + offset_;
  uint32_t length =
      uint32_t(h[0]) | uint32_t(h[1]) << 8 | uint32_t(h[2]) << 16 | uint32_t(h[3]) << 24;
  uint8_t type = h[4];
  uint8_t version = h[5];
  uint16_t fdCount = static_cast<uint16_t>(h[6] | h[7] << 8);
  if (version != kProtocolVersion) return tl::unexpected(std::string("unknown protocol version"));
  if (type < static_cast<uint8_t>(FrameType::hello) ||
      type > static_cast<uint8_t>(FrameType::replyDropped)) {
    return tl::unexpected(std::string("unknown frame type"));
  }
  if (static_cast<uint64_t>(length) + kFrameHeaderSize > limits_.maxFrameSize) {
    return tl::unexpected(std::string("frame too large"));
  }
  if (fdCount > limits_.maxDescriptors) return tl::unexpected(std::string("too many descriptors"));
  if (bufferedBytes() < kFrameHeaderSize + length) return std::optional<Frame>();
  if (fds_.size() < fdCount) return tl::unexpected(std::string("descriptors missing"));
  std::vector<UniqueFd> fds;
  for (uint16_t i = 0; i < fdCount; ++i) {
    fds.push_back(std::move(fds_.front()));
    fds_.pop_front();
  }
  std::span<const uint8_t> payload(h + kFrameHeaderSize, length);
  auto frame = decodePayload(static_cast<FrameType>(type), payload, std::move(fds), limits_);
  offset_ += kFrameHeaderSize + length;
  if (offset_ == buffer_.size()) {
    buffer_.clear();
    offset_ = 0;
  } else if (offset_ > 65536 && offset_ * 2 > buffer_.size()) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(offset_));
    offset_ = 0;
  }
  if (!frame) return tl::unexpected(frame.error());
  return std::optional<Frame>(std::move(*frame));
}

}  // namespace brellis::platform::xpc
