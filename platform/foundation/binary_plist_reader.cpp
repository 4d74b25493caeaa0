// The binary property-list reader: the decoding half of plist_codec.h. Input is untrusted: every
// count, offset and reference is checked against the buffer before it is used, and the work done
// is bounded by PlistLimits whatever the file declares.

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>

#include "platform/foundation/binary_plist_format.h"
#include "platform/foundation/plist_codec.h"
#include "platform/foundation/utf_text.h"

namespace brellis::platform::foundation {
namespace {

namespace bp = bplist;

// The recursion of the reader is bounded by this whatever PlistLimits::maxDepth asks, so that a
// caller's generous limit cannot run the reader off the end of its stack.
constexpr size_t kMaxReadDepth = 512;

constexpr const char* kPrefix = "binary property list: ";
constexpr const char* kTooLarge = "input larger than the limit";
constexpr const char* kTooSmall = "input too short";
constexpr const char* kBadMagic = "missing the bplist00 header";
constexpr const char* kBadTrailerSizes = "invalid offset or reference size in the trailer";
constexpr const char* kBadObjectCount = "invalid object count in the trailer";
constexpr const char* kTooManyObjects = "more objects than the limit";
constexpr const char* kBadTopObject = "top object index out of range";
constexpr const char* kBadOffsetTable = "offset table out of range";
constexpr const char* kBadOffset = "object offset out of range";
constexpr const char* kTruncated = "object runs past the end of the object area";
constexpr const char* kBadReference = "object reference out of range";
constexpr const char* kCycle = "an object contains itself";
constexpr const char* kTooDeep = "nesting deeper than the limit";
constexpr const char* kTooManyValues = "more values than the limit";
constexpr const char* kTooManyBytes = "decoded contents larger than the limit";
constexpr const char* kBadCount = "invalid count";
constexpr const char* kBadInteger = "invalid integer";
constexpr const char* kBigInteger = "integer does not fit in 64 bits";
constexpr const char* kBadReal = "invalid real";
constexpr const char* kBadUid = "invalid uid";
constexpr const char* kNonAscii = "ASCII string holds a byte of 0x80 or above";
constexpr const char* kBadUtf16 = "invalid UTF-16 string";
constexpr const char* kBadKey = "dictionary key is not a string";
constexpr const char* kUnsupported = "unsupported object type";

[[noreturn]] void fail(const char* what) { throw PlistError(std::string(kPrefix) + what); }

class BinaryPlistReader {
 public:
  BinaryPlistReader(const uint8_t* bytes, size_t size, const PlistLimits& limits)
      : bytes_(bytes), size_(size), limits_(limits) {}

  PlistValue read() {
    if (size_ > limits_.maxInputBytes) fail(kTooLarge);
    if (size_ < bp::kHeaderSize + bp::kTrailerSize + 2) fail(kTooSmall);
    if (std::memcmp(bytes_, bp::kMagic.data(), bp::kHeaderSize) != 0) fail(kBadMagic);
    const size_t trailer = size_ - bp::kTrailerSize;
    offsetSize_ = bytes_[trailer + 6];
    refSize_ = bytes_[trailer + 7];
    const uint64_t numObjects = bigEndian(trailer + 8, 8);
    const uint64_t topObject = bigEndian(trailer + 16, 8);
    const uint64_t tableOffset = bigEndian(trailer + 24, 8);
    if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8) fail(kBadTrailerSizes);
    if (numObjects == 0) fail(kBadObjectCount);
    if (numObjects > limits_.maxObjects) fail(kTooManyObjects);
    // Every reference must be able to name every object.
    if (refSize_ < 8 && numObjects - 1 > (uint64_t{1} << (8 * refSize_)) - 1) {
      fail(kBadTrailerSizes);
    }
    if (topObject >= numObjects) fail(kBadTopObject);
    // The objects lie between the header and the offset table, which ends before the trailer.
    if (tableOffset <= bp::kHeaderSize || tableOffset > trailer ||
        numObjects > (trailer - tableOffset) / offsetSize_) {
      fail(kBadOffsetTable);
    }
    numObjects_ = numObjects;
    tableOffset_ = static_cast<size_t>(tableOffset);
    maxDepth_ = std::min(limits_.maxDepth, kMaxReadDepth);
    active_.assign(numObjects, false);
    return readObject(topObject, 1);
  }

 private:
  uint64_t bigEndian(size_t pos, size_t width) const {
    uint64_t value = 0;
    for (size_t i = 0; i < width; ++i) value = (value << 8) | bytes_[pos + i];
    return value;
  }

  // Bytes [pos, pos + length) must lie in the object area.
  void require(size_t pos, uint64_t length) const {
    if (pos > tableOffset_ || length > tableOffset_ - pos) fail(kTruncated);
  }

  size_t objectOffset(uint64_t index) const {
    if (index >= numObjects_) fail(kBadReference);
    const uint64_t offset = bigEndian(tableOffset_ + index * offsetSize_, offsetSize_);
    if (offset < bp::kHeaderSize || offset >= tableOffset_) fail(kBadOffset);
    return static_cast<size_t>(offset);
  }

  void countValue() {
    if (++values_ > limits_.maxObjects) fail(kTooManyValues);
  }

  void countBytes(uint64_t n) {
    if (n > limits_.maxInputBytes - std::min(producedBytes_, limits_.maxInputBytes)) {
      fail(kTooManyBytes);
    }
    producedBytes_ += n;
  }

  // The count of a data, string or container object: in the marker's low nibble, or, when that is
  // 0xF, in the integer object that follows. Advances `pos` to the object's contents.
  uint64_t readCount(size_t& pos) {
    const uint8_t info = bytes_[pos] & 0x0F;
    ++pos;
    if (info != bp::kCountFollows) return info;
    require(pos, 1);
    const uint8_t marker = bytes_[pos];
    if ((marker >> 4) != bp::kKindInteger || (marker & 0x0F) > 3) fail(kBadCount);
    const size_t width = size_t{1} << (marker & 0x0F);
    require(pos + 1, width);
    const uint64_t count = bigEndian(pos + 1, width);
    if (width == 8 && count > static_cast<uint64_t>(INT64_MAX)) fail(kBadCount);
    pos += 1 + width;
    return count;
  }

  // `count` items of `unit` bytes each must fit in the object area from `pos`; this check comes
  // before any allocation sized by a count.
  void requireItems(size_t pos, uint64_t count, size_t unit) const {
    if (pos > tableOffset_ || count > (tableOffset_ - pos) / unit) fail(kTruncated);
  }

  PlistValue readObject(uint64_t index, size_t depth) {
    countValue();
    size_t pos = objectOffset(index);
    const uint8_t marker = bytes_[pos];
    const uint8_t info = marker & 0x0F;
    switch (marker >> 4) {
      case bp::kKindSimple:
        if (marker == bp::kFalse) return PlistValue(false);
        if (marker == bp::kTrue) return PlistValue(true);
        fail(kUnsupported);
      case bp::kKindInteger:
        return readInteger(pos, info);
      case bp::kKindReal:
        return PlistValue(readReal(pos, marker));
      case bp::kKindDate:
        if (marker != bp::kDateMarker) fail(kUnsupported);
        return PlistValue(PlistDate{readReal(pos, bp::kDoubleMarker)});
      case bp::kKindData: {
        const uint64_t count = readCount(pos);
        requireItems(pos, count, 1);
        countBytes(count);
        return PlistValue(Bytes(bytes_ + pos, bytes_ + pos + count));
      }
      case bp::kKindAsciiString:
      case bp::kKindUtf16String:
        return PlistValue(readString(pos));
      case bp::kKindUid:
        return PlistValue(readUid(pos, info));
      case bp::kKindArray:
        return readArray(index, pos, depth);
      case bp::kKindDict:
        return readDict(index, pos, depth);
      default:
        fail(kUnsupported);
    }
  }

  PlistValue readInteger(size_t pos, uint8_t info) {
    if (info > 4) fail(kBadInteger);
    const size_t width = size_t{1} << info;
    require(pos + 1, width);
    if (width == 16) {
      if (bigEndian(pos + 1, 8) != 0) fail(kBigInteger);
      const uint64_t value = bigEndian(pos + 9, 8);
      if (value > static_cast<uint64_t>(INT64_MAX)) return PlistValue(PlistBigUnsigned{value});
      return PlistValue(static_cast<int64_t>(value));
    }
    // 1, 2 and 4 bytes are unsigned; 8 bytes are a signed two's-complement value.
    return PlistValue(static_cast<int64_t>(bigEndian(pos + 1, width)));
  }

  double readReal(size_t pos, uint8_t marker) {
    if (marker == bp::kDoubleMarker) {
      require(pos + 1, 8);
      return std::bit_cast<double>(bigEndian(pos + 1, 8));
    }
    if (marker == bp::kFloatMarker) {
      require(pos + 1, 4);
      return std::bit_cast<float>(static_cast<uint32_t>(bigEndian(pos + 1, 4)));
    }
    fail(kBadReal);
  }

  PlistUid readUid(size_t pos, uint8_t info) {
    const size_t width = size_t{info} + 1;
    require(pos + 1, width);
    // Wider than 8 bytes only with leading zero bytes: the value must fit in 64 bits.
    for (size_t i = 0; i + 8 < width; ++i) {
      if (bytes_[pos + 1 + i] != 0) fail(kBadUid);
    }
    const size_t low = std::min<size_t>(width, 8);
    return PlistUid{bigEndian(pos + 1 + width - low, low)};
  }

  // An ASCII (0x5) or UTF-16BE (0x6) string object at `pos`, as UTF-8.
  std::string readString(size_t pos) {
    const bool ascii = (bytes_[pos] >> 4) == bp::kKindAsciiString;
    const uint64_t count = readCount(pos);
    if (ascii) {
      requireItems(pos, count, 1);
      countBytes(count);
      std::string text(reinterpret_cast<const char*>(bytes_ + pos), count);
      if (!isAsciiText(text)) fail(kNonAscii);
      return text;
    }
    requireItems(pos, count, 2);
    countBytes(count * 3);
    std::u16string units;
    units.reserve(count);
    for (uint64_t i = 0; i < count; ++i) {
      units.push_back(static_cast<char16_t>(bigEndian(pos + 2 * i, 2)));
    }
    std::optional<std::string> text = utf16ToUtf8(units);
    if (!text) fail(kBadUtf16);
    return std::move(*text);
  }

  PlistValue readArray(uint64_t index, size_t pos, size_t depth) {
    if (depth > maxDepth_) fail(kTooDeep);
    if (active_[index]) fail(kCycle);
    const uint64_t count = readCount(pos);
    requireItems(pos, count, refSize_);
    if (count > limits_.maxObjects - std::min(values_, limits_.maxObjects)) fail(kTooManyValues);
    active_[index] = true;
    PlistArray array;
    array.reserve(count);
    for (uint64_t i = 0; i < count; ++i) {
      array.push_back(readObject(bigEndian(pos + i * refSize_, refSize_), depth + 1));
    }
    active_[index] = false;
    return PlistValue(std::move(array));
  }

  PlistValue readDict(uint64_t index, size_t pos, size_t depth) {
    if (depth > maxDepth_) fail(kTooDeep);
    if (active_[index]) fail(kCycle);
    const uint64_t count = readCount(pos);
    if (count > limits_.maxObjects) fail(kTooManyValues);
    requireItems(pos, count * 2, refSize_);
    active_[index] = true;
    PlistDict dict;
    for (uint64_t i = 0; i < count; ++i) {
      std::string key = readKey(bigEndian(pos + i * refSize_, refSize_));
      PlistValue value = readObject(bigEndian(pos + (count + i) * refSize_, refSize_), depth + 1);
      dict.set(std::move(key), std::move(value));
    }
    active_[index] = false;
    return PlistValue(std::move(dict));
  }

  std::string readKey(uint64_t index) {
    countValue();
    const size_t pos = objectOffset(index);
    const uint8_t kind = bytes_[pos] >> 4;
    if (kind != bp::kKindAsciiString && kind != bp::kKindUtf16String) fail(kBadKey);
    return readString(pos);
  }

  const uint8_t* bytes_;
  size_t size_;
  PlistLimits limits_;
  size_t offsetSize_ = 0;
  size_t refSize_ = 0;
  uint64_t numObjects_ = 0;
  size_t tableOffset_ = 0;
  size_t maxDepth_ = 0;
  size_t values_ = 0;
  uint64_t producedBytes_ = 0;
  std::vector<bool> active_;  // containers being read, for refusing cycles
};

}  // namespace

PlistValue readBinaryPlist(const uint8_t* bytes, size_t size, const PlistLimits& limits) {
  if (bytes == nullptr && size != 0) fail(kTooSmall);
  return BinaryPlistReader(bytes, size, limits).read();
}

PlistValue readBinaryPlist(const Bytes& bytes, const PlistLimits& limits) {
  return readBinaryPlist(bytes.data(), bytes.size(), limits);
}

}  // namespace brellis::platform::foundation
