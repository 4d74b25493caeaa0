#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace brellis::platform::transport {

using Bytes = std::vector<uint8_t>;

// The byte order of every frame on our sockets: fixed-size integers little-endian, fields
// (strings, data) as a u32 length and their bytes.
class ByteWriter {
 public:
  ByteWriter() = default;
  explicit ByteWriter(Bytes start) : bytes_(std::move(start)) {}

  void u8(uint8_t v) { bytes_.push_back(v); }
  void u16(uint16_t v) { put(v, 2); }
  void u32(uint32_t v) { put(v, 4); }
  void u64(uint64_t v) { put(v, 8); }
  void field(std::span<const uint8_t> data) {
    u32(static_cast<uint32_t>(data.size()));
    bytes_.insert(bytes_.end(), data.begin(), data.end());
  }
  void field(std::string_view text) {
    field(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  }

  Bytes& bytes() { return bytes_; }
  Bytes take() { return std::move(bytes_); }

 private:
  void put(uint64_t v, int size) {
    for (int i = 0; i < size; ++i) bytes_.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  Bytes bytes_;
};

// Reads what a ByteWriter wrote. Every read checks the rest: nothing reads past the end, and a
// failed read consumes nothing.
class ByteReader {
 public:
  explicit ByteReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  bool u8(uint8_t& v) { return get(v, 1); }
  bool u16(uint16_t& v) { return get(v, 2); }
  bool u32(uint32_t& v) { return get(v, 4); }
  bool u64(uint64_t& v) { return get(v, 8); }
  // The next `size` bytes.
  bool take(size_t size, std::span<const uint8_t>& out) {
    if (size > remaining()) return false;
    out = bytes_.subspan(pos_, size);
    pos_ += size;
    return true;
  }
  // A u32 length of at most `maxSize` and that many bytes.
  bool field(std::span<const uint8_t>& out, size_t maxSize = SIZE_MAX) {
    uint32_t size = 0;
    size_t start = pos_;
    if (!u32(size) || size > maxSize || !take(size, out)) {
      pos_ = start;
      return false;
    }
    return true;
  }

  size_t remaining() const { return bytes_.size() - pos_; }
  bool atEnd() const { return pos_ == bytes_.size(); }

 private:
  template <class T>
  bool get(T& v, size_t size) {
    if (remaining() < size) return false;
    uint64_t out = 0;
    for (size_t i = 0; i < size; ++i) out |= uint64_t{bytes_[pos_ + i]} << (8 * i);
    pos_ += size;
    v = static_cast<T>(out);
    return true;
  }
  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
};

}  // namespace brellis::platform::transport
