#include "platform/transport/frame.h"

namespace brellis::platform::transport {

const char* frameErrorText(FrameError error) {
  switch (error) {
    case FrameError::tooLarge:
      return "frame too large";
    case FrameError::unknownType:
      return "unknown frame type";
    case FrameError::unknownVersion:
      return "unknown protocol version";
    case FrameError::tooManyDescriptors:
      return "too many descriptors";
    case FrameError::tooManyDescriptorsReceived:
      return "too many descriptors received";
    case FrameError::descriptorsMissing:
      return "descriptors missing";
  }
  return "frame error";
}

tl::expected<void, FrameError> finishFrame(Bytes& frame, uint8_t type, size_t descriptors,
                                           const FrameFormat& format) {
  if (type < format.firstType || type > format.lastType) {
    return tl::unexpected(FrameError::unknownType);
  }
  if (frame.size() > format.maxFrameSize) return tl::unexpected(FrameError::tooLarge);
  if (descriptors > format.maxDescriptors) {
    return tl::unexpected(FrameError::tooManyDescriptors);
  }
  auto length = static_cast<uint32_t>(frame.size() - kFrameHeaderSize);
  for (int i = 0; i < 4; ++i) frame[i] = static_cast<uint8_t>(length >> (8 * i));
  frame[4] = type;
  frame[5] = format.version;
  frame[6] = static_cast<uint8_t>(descriptors);
  frame[7] = static_cast<uint8_t>(descriptors >> 8);
  return {};
}

tl::expected<Bytes, FrameError> encodeFrame(uint8_t type, std::span<const uint8_t> payload,
                                            const FrameFormat& format) {
  if (payload.size() > format.maxFrameSize) return tl::unexpected(FrameError::tooLarge);
  Bytes frame;
  frame.reserve(kFrameHeaderSize + payload.size());
  frame.resize(kFrameHeaderSize);
  frame.insert(frame.end(), payload.begin(), payload.end());
  if (auto done = finishFrame(frame, type, 0, format); !done) {
    return tl::unexpected(done.error());
  }
  return frame;
}

void FrameReader::release() {
  offset_ += std::exchange(consumed_, 0);
  if (offset_ == buffer_.size()) {
    buffer_.clear();
    offset_ = 0;
  } else if (offset_ > 65536 && offset_ * 2 > buffer_.size()) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(offset_));
    offset_ = 0;
  }
}

void FrameReader::push(std::span<const uint8_t> bytes) {
  release();
  if (error_) return;
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

void FrameReader::pushDescriptor(UniqueFd fd) {
  if (!error_) fds_.push_back(std::move(fd));
}

tl::expected<std::optional<FrameView>, FrameError> FrameReader::fail(FrameError error) {
  error_ = error;
  buffer_.clear();
  offset_ = 0;
  fds_.clear();
  return tl::unexpected(error);
}

tl::expected<std::optional<FrameView>, FrameError> FrameReader::next() {
  release();
  if (error_) return tl::unexpected(*error_);
  if (fds_.size() > 2 * format_.maxDescriptors) {
    return fail(FrameError::tooManyDescriptorsReceived);
  }
  if (bufferedBytes() < kFrameHeaderSize) return std::optional<FrameView>();
  const uint8_t* h = buffer_.data() + offset_;
  uint32_t length =
      uint32_t(h[0]) | uint32_t(h[1]) << 8 | uint32_t(h[2]) << 16 | uint32_t(h[3]) << 24;
  uint8_t type = h[4];
  uint16_t descriptors = static_cast<uint16_t>(h[6] | h[7] << 8);
  if (h[5] != format_.version) return fail(FrameError::unknownVersion);
  if (type < format_.firstType || type > format_.lastType) return fail(FrameError::unknownType);
  if (uint64_t{length} + kFrameHeaderSize > format_.maxFrameSize) {
    return fail(FrameError::tooLarge);
  }
  if (descriptors > format_.maxDescriptors) return fail(FrameError::tooManyDescriptors);
  if (bufferedBytes() < kFrameHeaderSize + length) return std::optional<FrameView>();
  if (fds_.size() < descriptors) return fail(FrameError::descriptorsMissing);
  FrameView frame;
  frame.type = type;
  frame.payload = std::span<const uint8_t>(h + kFrameHeaderSize, length);
  frame.fds.reserve(descriptors);
  for (uint16_t i = 0; i < descriptors; ++i) {
    frame.fds.push_back(std::move(fds_.front()));
    fds_.pop_front();
  }
  consumed_ = kFrameHeaderSize + length;
  return std::optional<FrameView>(std::move(frame));
}

}  // namespace brellis::platform::transport
