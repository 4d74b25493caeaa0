#pragma once

#include <cstdint>

#include "platform/foundation/plist_value.h"

namespace brellis::platform::crypto_token_kit {

// BER-TLV helpers. A tag is held as the number whose big-endian bytes are its encoding
// (0x5FC100 is the three-byte tag 5F C1 00).
class TKBERTLVRecord {
 public:
  // The encoded bytes of `tag`: its big-endian bytes without leading zero bytes; the tag 0 is
  // the single byte 00.
  static foundation::Bytes dataForTag(uint64_t tag);
};

}  // namespace brellis::platform::crypto_token_kit
