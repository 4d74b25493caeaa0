// Feeds arbitrary bytes to the binary property-list reader. Anything may be refused with
// PlistError; nothing may crash, and whatever is read must write and read back equal (compared
// as the bytes written again, so that NaN reals compare by their bits).

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/foundation/plist_codec.h"

namespace foundation = brellis::platform::foundation;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Small limits keep each run fast; the bounds are the same code at any size.
  foundation::PlistLimits limits;
  limits.maxInputBytes = 1 << 20;
  limits.maxObjects = 1 << 14;
  limits.maxDepth = 64;
  foundation::PlistValue value;
  try {
    value = foundation::readBinaryPlist(data, size, limits);
  } catch (const foundation::PlistError&) {
    return 0;
  }
  foundation::Bytes written;
  try {
    written = foundation::writeBinaryPlist(value);
  } catch (const foundation::PlistError&) {
    std::abort();  // every value the reader produces is writable
  }
  // The written form may be larger (shared objects are expanded), so read it back unbounded in
  // size but with the same depth.
  foundation::PlistLimits again;
  again.maxDepth = limits.maxDepth;
  again.maxObjects = written.size();
  if (foundation::writeBinaryPlist(foundation::readBinaryPlist(written, again)) != written) {
    std::abort();
  }
  return 0;
}
