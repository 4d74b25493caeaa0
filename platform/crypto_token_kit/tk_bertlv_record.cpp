#include "platform/crypto_token_kit/tk_bertlv_record.h"

namespace brellis::platform::crypto_token_kit {

foundation::Bytes TKBERTLVRecord::dataForTag(uint64_t tag) {
  foundation::Bytes bytes;
  bool started = false;
  for (int shift = 56; shift >= 0; shift -= 8) {
    auto byte = static_cast<uint8_t>((tag >> shift) & 0xFF);
    if (byte != 0) started = true;
    if (started) bytes.push_back(byte);
  }
  if (bytes.empty()) bytes.push_back(0);
  return bytes;
}

}  // namespace brellis::platform::crypto_token_kit
