#include "platform/xpc/frame.h"

#include "platform/xpc/value_codec.h"

namespace brellis::platform::xpc {

transport::FrameFormat frameFormat(const ConnectionLimits& limits) {
  return transport::FrameFormat{kProtocolVersion, static_cast<uint8_t>(FrameType::hello),
                                static_cast<uint8_t>(FrameType::replyDropped), limits.maxFrameSize,
                                limits.maxDescriptors};
}

tl::expected<EncodedFrame, std::string> encodeFrame(const Frame& frame,
                                                    const ConnectionLimits& limits) {
  EncodedFrame out;
  ValueWriter w(limits, out.fds);
  transport::beginFrame(w.out());
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
  auto& bytes = w.out().bytes();
  auto done = transport::finishFrame(bytes, static_cast<uint8_t>(frame.type), out.fds.size(),
                                     frameFormat(limits));
  if (!done) return tl::unexpected(std::string(transport::frameErrorText(done.error())));
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

tl::expected<std::optional<Frame>, std::string> FrameReader::next() {
  if (failed_) return tl::unexpected(std::string("stream already failed"));
  auto next = frames_.next();
  if (!next) return tl::unexpected(std::string(transport::frameErrorText(next.error())));
  if (!*next) return std::optional<Frame>();
  auto& view = **next;
  auto frame =
      decodePayload(static_cast<FrameType>(view.type), view.payload, std::move(view.fds), limits_);
  if (!frame) {
    failed_ = true;
    return tl::unexpected(frame.error());
  }
  return std::optional<Frame>(std::move(*frame));
}

}  // namespace brellis::platform::xpc
