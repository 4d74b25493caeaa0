#include "platform/xpc/frame.h"

#include <bit>
#include <cstring>
#include <unordered_set>

namespace brellis::platform::xpc {
namespace {

// ---- encoding ----

class Writer {
 public:
  Writer(const ConnectionLimits& limits, std::vector<SharedFd>& fds) : limits_(limits), fds_(fds) {}

  void u8(uint8_t v) { bytes_.push_back(v); }
  void u32(uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  void u64(uint64_t v) {
    for (int i = 0; i < 8; ++i) bytes_.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  bool sized(std::string_view s) {
    if (s.size() > limits_.maxFrameSize) return fail("string or data too long");
    u32(static_cast<uint32_t>(s.size()));
    bytes_.insert(bytes_.end(), s.begin(), s.end());
    return true;
  }
  bool descriptor(const SharedFd& fd) {
    if (!fd || !fd->valid()) return fail("invalid descriptor");
    if (fds_.size() >= limits_.maxDescriptors) return fail("too many descriptors");
    u32(static_cast<uint32_t>(fds_.size()));
    fds_.push_back(fd);
    return true;
  }

  bool value(const Value& v, size_t depth) {
    if (depth > limits_.maxNesting) return fail("nesting too deep");
    u8(static_cast<uint8_t>(v.kind()));
    switch (v.kind()) {
      case ValueKind::null:
        return true;
      case ValueKind::boolean:
        u8(*v.asBool() ? 1 : 0);
        return true;
      case ValueKind::int64:
        u64(static_cast<uint64_t>(*v.asInt64()));
        return true;
      case ValueKind::uint64:
        u64(*v.asUint64());
        return true;
      case ValueKind::real:
        u64(std::bit_cast<uint64_t>(*v.asReal()));
        return true;
      case ValueKind::string:
        return sized(*v.asString());
      case ValueKind::data: {
        const auto& d = *v.asData();
        return sized(std::string_view(reinterpret_cast<const char*>(d.data()), d.size()));
      }
      case ValueKind::date:
        u64(std::bit_cast<uint64_t>(v.asDate()->secondsSince2001));
        return true;
      case ValueKind::array: {
        const auto& a = *v.asArray();
        u32(static_cast<uint32_t>(a.size()));
        for (const auto& e : a) {
          if (!value(e, depth + 1)) return false;
        }
        return true;
      }
      case ValueKind::dict: {
        const auto& d = *v.asDict();
        u32(static_cast<uint32_t>(d.size()));
        for (const auto& [k, e] : d) {
          if (!sized(k) || !value(e, depth + 1)) return false;
        }
        return true;
      }
      case ValueKind::error: {
        const auto& e = *v.asError();
        if (!sized(e.domain)) return false;
        u64(static_cast<uint64_t>(e.code));
        return value(fromPlist(foundation::PlistValue(e.userInfo)), depth + 1);
      }
      case ValueKind::fd:
        return descriptor(*v.asFd());
      case ValueKind::endpoint:
        return descriptor(v.asEndpoint()->rendezvous());
    }
    return fail("unknown value kind");
  }

  bool fail(std::string reason) {
    if (error_.empty()) error_ = std::move(reason);
    return false;
  }
  Bytes& bytes() { return bytes_; }
  const std::string& error() const { return error_; }

 private:
  const ConnectionLimits& limits_;
  std::vector<SharedFd>& fds_;
  Bytes bytes_;
  std::string error_;
};

// ---- decoding ----

bool validUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    auto c = static_cast<unsigned char>(s[i]);
    size_t n;
    uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      n = 1, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      n = 2, cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      n = 3, cp = c & 0x07;
    } else {
      return false;
    }
    if (i + n >= s.size()) return false;
    for (size_t k = 1; k <= n; ++k) {
      auto cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if ((n == 1 && cp < 0x80) || (n == 2 && cp < 0x800) || (n == 3 && cp < 0x10000) ||
        cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += n + 1;
  }
  return true;
}

class Reader {
 public:
  Reader(std::span<const uint8_t> bytes, std::vector<UniqueFd>& fds, const ConnectionLimits& limits)
      : bytes_(bytes), fds_(fds), limits_(limits), used_(fds.size(), false) {}

  bool u8(uint8_t& v) {
    if (remaining() < 1) return fail("truncated");
    v = bytes_[pos_++];
    return true;
  }
  bool u32(uint32_t& v) {
    if (remaining() < 4) return fail("truncated");
    v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(bytes_[pos_++]) << (8 * i);
    return true;
  }
  bool u64(uint64_t& v) {
    if (remaining() < 8) return fail("truncated");
    v = 0;
    for (int i = 0; i < 8; ++i) v |= static_cast<uint64_t>(bytes_[pos_++]) << (8 * i);
    return true;
  }
  bool raw(std::string& out) {
    uint32_t n = 0;
    if (!u32(n)) return false;
    if (n > remaining()) return fail("length beyond the frame");
    out.assign(reinterpret_cast<const char*>(bytes_.data() + pos_), n);
    pos_ += n;
    return true;
  }
  bool text(std::string& out) {
    if (!raw(out)) return false;
    if (!validUtf8(out)) return fail("string is not UTF-8");
    return true;
  }
  bool count(uint32_t& n) {
    if (!u32(n)) return false;
    // Every element takes at least one byte: a count beyond the rest is a lie.
    if (n > remaining()) return fail("count beyond the frame");
    return true;
  }
  bool descriptor(SharedFd& out) {
    uint32_t index = 0;
    if (!u32(index)) return false;
    if (index >= fds_.size()) return fail("descriptor index out of range");
    if (used_[index]) return fail("descriptor named twice");
    used_[index] = true;
    out = makeSharedFd(std::move(fds_[index]));
    return true;
  }

  bool value(Value& out, size_t depth) {
    if (depth > limits_.maxNesting) return fail("nesting too deep");
    uint8_t tag = 0;
    if (!u8(tag)) return false;
    switch (static_cast<ValueKind>(tag)) {
      case ValueKind::null:
        out = Value::null();
        return true;
      case ValueKind::boolean: {
        uint8_t b = 0;
        if (!u8(b)) return false;
        if (b > 1) return fail("invalid boolean");
        out = Value::boolean(b == 1);
        return true;
      }
      case ValueKind::int64: {
        uint64_t v = 0;
        if (!u64(v)) return false;
        out = Value::int64(static_cast<int64_t>(v));
        return true;
      }
      case ValueKind::uint64: {
        uint64_t v = 0;
        if (!u64(v)) return false;
        out = Value::uint64(v);
        return true;
      }
      case ValueKind::real: {
        uint64_t v = 0;
        if (!u64(v)) return false;
        out = Value::real(std::bit_cast<double>(v));
        return true;
      }
      case ValueKind::string: {
        std::string s;
        if (!text(s)) return false;
        out = Value::string(std::move(s));
        return true;
      }
      case ValueKind::data: {
        std::string s;
        if (!raw(s)) return false;
        out = Value::data(Bytes(s.begin(), s.end()));
        return true;
      }
      case ValueKind::date: {
        uint64_t v = 0;
        if (!u64(v)) return false;
        out = Value::date(PlistDate{std::bit_cast<double>(v)});
        return true;
      }
      case ValueKind::array: {
        uint32_t n = 0;
        if (!count(n)) return false;
        ValueArray a;
        a.reserve(n);
        for (uint32_t i = 0; i < n; ++i) {
          a.emplace_back();
          if (!value(a.back(), depth + 1)) return false;
        }
        out = Value::array(std::move(a));
        return true;
      }
      case ValueKind::dict: {
        uint32_t n = 0;
        if (!count(n)) return false;
        ValueDict d;
        d.reserve(n);
        std::unordered_set<std::string> keys;
        for (uint32_t i = 0; i < n; ++i) {
          std::string key;
          if (!text(key)) return false;
          if (!keys.insert(key).second) return fail("duplicate dictionary key");
          Value v;
          if (!value(v, depth + 1)) return false;
          d.emplace_back(std::move(key), std::move(v));
        }
        out = Value::dict(std::move(d));
        return true;
      }
      case ValueKind::error: {
        ErrorRecord record;
        uint64_t code = 0;
        if (!text(record.domain) || !u64(code)) return false;
        record.code = static_cast<int64_t>(code);
        Value info;
        if (!value(info, depth + 1)) return false;
        if (!info.asDict()) return fail("error user info is not a dictionary");
        auto plist = toPlist(info);
        if (!plist || !plist->dict()) return fail("error user info is not a property list");
        record.userInfo = *plist->dict();
        out = Value::error(std::move(record));
        return true;
      }
      case ValueKind::fd: {
        SharedFd fd;
        if (!descriptor(fd)) return false;
        out = Value::fd(std::move(fd));
        return true;
      }
      case ValueKind::endpoint: {
        SharedFd fd;
        if (!descriptor(fd)) return false;
        out = Value::endpoint(Endpoint(std::move(fd)));
        return true;
      }
    }
    return fail("unknown value kind " + std::to_string(tag));
  }

  bool values(std::vector<Value>& out) {
    uint32_t n = 0;
    if (!count(n)) return false;
    out.reserve(n);
    for (uint32_t i = 0; i < n; ++i) {
      out.emplace_back();
      if (!value(out.back(), 1)) return false;
    }
    return true;
  }

  bool finish() {
    if (remaining() != 0) return fail("trailing bytes");
    for (bool u : used_) {
      if (!u) return fail("descriptor not named by any value");
    }
    return true;
  }

  bool fail(std::string reason) {
    if (error_.empty()) error_ = std::move(reason);
    return false;
  }
  const std::string& error() const { return error_; }

 private:
  size_t remaining() const { return bytes_.size() - pos_; }

  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
  std::vector<UniqueFd>& fds_;
  const ConnectionLimits& limits_;
  std::vector<bool> used_;
  std::string error_;
};

}  // namespace

tl::expected<EncodedFrame, std::string> encodeFrame(const Frame& frame,
                                                    const ConnectionLimits& limits) {
  EncodedFrame out;
  Writer w(limits, out.fds);
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
  Reader r(payload, fds, limits);
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
