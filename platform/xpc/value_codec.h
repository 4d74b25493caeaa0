#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/utf_text.h"
#include "platform/xpc/connection_limits.h"
#include "platform/xpc/unique_fd.h"
#include "platform/xpc/value.h"

namespace brellis::platform::xpc {

// The payload codec of the connection protocol's frames: fixed-size integers little-endian,
// strings and data with a u32 length, values with a one-byte kind tag, descriptors as indexes
// into the frame's descriptors. Every read is bounded by the payload; every failure names its
// reason and is final.

// Appends to a payload; descriptors are collected in index order into `fds`.
class ValueWriter {
 public:
  ValueWriter(const ConnectionLimits& limits, std::vector<SharedFd>& fds)
      : limits_(limits), fds_(fds) {}

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

  bool value(const Value& v, size_t depth);

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

// Reads one payload; each of `fds` must be named by exactly one value (checked by finish()).
class ValueReader {
 public:
  ValueReader(std::span<const uint8_t> bytes, std::vector<UniqueFd>& fds,
              const ConnectionLimits& limits)
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
  size_t remaining() const { return bytes_.size() - pos_; }

  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
  std::vector<UniqueFd>& fds_;
  const ConnectionLimits& limits_;
  std::vector<bool> used_;
  std::string error_;
};

}  // namespace brellis::platform::xpc
