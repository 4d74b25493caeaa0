#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/utf_text.h"
#include "platform/transport/byte_codec.h"
#include "platform/xpc/connection_limits.h"
#include "platform/xpc/value.h"

namespace brellis::platform::xpc {

// The payload codec of the connection protocol's frames, on the transport's byte codec
// (fixed-size integers little-endian, strings and data with a u32 length): values with a one-byte
// kind tag, descriptors as indexes into the frame's descriptors. Every read is bounded by the
// payload; every failure names its reason and is final.

// Appends to a payload; descriptors are collected in index order into `fds`.
class ValueWriter {
 public:
  ValueWriter(const ConnectionLimits& limits, std::vector<SharedFd>& fds)
      : limits_(limits), fds_(fds) {}

  void u8(uint8_t v) { out_.u8(v); }
  void u32(uint32_t v) { out_.u32(v); }
  void u64(uint64_t v) { out_.u64(v); }
  bool sized(std::string_view s) {
    if (s.size() > limits_.maxFrameSize) return fail("string or data too long");
    out_.field(s);
    return true;
  }
  bool descriptor(const SharedFd& fd) {
    if (!fd || !fd->valid()) return fail("invalid descriptor");
    if (fds_.size() >= limits_.maxDescriptors) return fail("too many descriptors");
    u32(static_cast<uint32_t>(fds_.size()));
    fds_.push_back(fd);
    return true;
  }

  bool value(const Value& v, size_t depth);

  bool fail(std::string reason) {
    if (error_.empty()) error_ = std::move(reason);
    return false;
  }
  transport::ByteWriter& out() { return out_; }
  const std::string& error() const { return error_; }

 private:
  const ConnectionLimits& limits_;
  std::vector<SharedFd>& fds_;
  transport::ByteWriter out_;
  std::string error_;
};

// Reads one payload; each of `fds` must be named by exactly one value (checked by finish()).
class ValueReader {
 public:
  ValueReader(std::span<const uint8_t> bytes, std::vector<UniqueFd>& fds,
              const ConnectionLimits& limits)
      : in_(bytes), fds_(fds), limits_(limits), used_(fds.size(), false) {}

  bool u8(uint8_t& v) { return in_.u8(v) || fail("truncated"); }
  bool u32(uint32_t& v) { return in_.u32(v) || fail("truncated"); }
  bool u64(uint64_t& v) { return in_.u64(v) || fail("truncated"); }
  bool raw(std::string& out) {
    uint32_t n = 0;
    if (!u32(n)) return false;
    std::span<const uint8_t> bytes;
    if (!in_.take(n, bytes)) return fail("length beyond the frame");
    out.assign(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return true;
  }
  bool text(std::string& out) {
    if (!raw(out)) return false;
    if (!foundation::isValidUtf8(out)) return fail("string is not UTF-8");
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

  bool value(Value& out, size_t depth);

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
  size_t remaining() const { return in_.remaining(); }

  transport::ByteReader in_;
  std::vector<UniqueFd>& fds_;
  const ConnectionLimits& limits_;
  std::vector<bool> used_;
  std::string error_;
};

}  // namespace brellis::platform::xpc
