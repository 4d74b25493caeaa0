#pragma once

#include <stdexcept>
#include <string>

#include "platform/foundation/plist_value.h"

namespace brellis::platform::foundation {

// The property-list reader's and writer's error (NSPropertyListSerialization's
// NSCocoaErrorDomain 3840 on reading, 3851 on writing).
class PlistError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct PlistLimits {
  size_t maxInputBytes = 64 * 1024 * 1024;
  size_t maxDepth = 128;
  size_t maxObjects = 1 << 20;
};

enum class PlistFormat { binary, xml };

// Binary property lists ("bplist00"). The writer produces what Apple's reader and python's
// plistlib accept: ASCII strings as ASCII, others as UTF-16BE, negative integers as 8 bytes,
// unsigned integers above INT64_MAX as 16 bytes. The reader is strict and bounded: truncated,
// cyclic, over-deep or over-large input, offsets out of range, an ASCII-marked string holding
// bytes >= 0x80 and invalid UTF-16 all raise PlistError. Dictionary keys must be strings.
Bytes writeBinaryPlist(const PlistValue& value);
PlistValue readBinaryPlist(const Bytes& bytes, const PlistLimits& limits = {});
PlistValue readBinaryPlist(const uint8_t* bytes, size_t size, const PlistLimits& limits = {});

// XML property lists (over libplist).
std::string writeXmlPlist(const PlistValue& value);
PlistValue readXmlPlist(const Bytes& bytes, const PlistLimits& limits = {});

// Reads either format, told apart by the header.
PlistValue readPlist(const Bytes& bytes, const PlistLimits& limits = {});
bool looksLikeBinaryPlist(const Bytes& bytes);

}  // namespace brellis::platform::foundation
