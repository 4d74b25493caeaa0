#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// Layout constants of the binary property-list format ("bplist00"), shared by its writer and
// reader: an 8-byte header, the objects, the offset table and a 32-byte trailer.
namespace brellis::platform::foundation::bplist {

inline constexpr std::string_view kMagic = "bplist00";
inline constexpr size_t kHeaderSize = 8;
inline constexpr size_t kTrailerSize = 32;

// High nibble of an object's marker byte.
enum Kind : uint8_t {
  kKindSimple = 0x0,  // 0x08 false, 0x09 true (0x00 null and 0x0F fill are not values of ours)
  kKindInteger = 0x1,
  kKindReal = 0x2,
  kKindDate = 0x3,
  kKindData = 0x4,
  kKindAsciiString = 0x5,
  kKindUtf16String = 0x6,
  kKindUid = 0x8,
  kKindArray = 0xA,
  kKindDict = 0xD,
};

inline constexpr uint8_t kFalse = 0x08;
inline constexpr uint8_t kTrue = 0x09;
inline constexpr uint8_t kDateMarker = 0x33;
inline constexpr uint8_t kDoubleMarker = 0x23;
inline constexpr uint8_t kFloatMarker = 0x22;
inline constexpr uint8_t kBigIntegerMarker = 0x14;  // 16 bytes
// A count of 15 or more follows the marker as an integer object.
inline constexpr uint8_t kCountFollows = 0x0F;

// Smallest of 1, 2, 4, 8 bytes that holds `value`.
inline constexpr size_t byteWidthFor(uint64_t value) {
  if (value <= 0xFF) return 1;
  if (value <= 0xFFFF) return 2;
  if (value <= 0xFFFFFFFFull) return 4;
  return 8;
}

}  // namespace brellis::platform::foundation::bplist
