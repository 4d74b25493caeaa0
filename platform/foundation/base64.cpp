#include "platform/foundation/base64.h"

#include <array>

namespace brellis::platform::foundation {
namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kPad = '=';

constexpr std::array<int8_t, 256> makeDecodeTable() {
  std::array<int8_t, 256> table{};
  for (auto& entry : table) entry = -1;
  for (size_t i = 0; i < kAlphabet.size(); ++i) {
    table[static_cast<uint8_t>(kAlphabet[i])] = static_cast<int8_t>(i);
  }
  return table;
}
constexpr std::array<int8_t, 256> kDecode = makeDecodeTable();

}  // namespace

std::string base64Encode(const Bytes& bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t n = (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    out.push_back(kAlphabet[(n >> 18) & 0x3F]);
    out.push_back(kAlphabet[(n >> 12) & 0x3F]);
    out.push_back(kAlphabet[(n >> 6) & 0x3F]);
    out.push_back(kAlphabet[n & 0x3F]);
  }
  const size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t n = uint32_t{bytes[i]} << 16;
    if (rest == 2) n |= uint32_t{bytes[i + 1]} << 8;
    out.push_back(kAlphabet[(n >> 18) & 0x3F]);
    out.push_back(kAlphabet[(n >> 12) & 0x3F]);
    out.push_back(rest == 2 ? kAlphabet[(n >> 6) & 0x3F] : kPad);
    out.push_back(kPad);
  }
  return out;
}

std::optional<Bytes> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  Bytes out;
  out.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    // Padding: only in the final group, as its last one or two characters.
    size_t pad = 0;
    if (last && text[i + 3] == kPad) pad = text[i + 2] == kPad ? 2 : 1;
    uint32_t n = 0;
    for (size_t j = 0; j < 4 - pad; ++j) {
      const int8_t v = kDecode[static_cast<uint8_t>(text[i + j])];
      if (v < 0) return std::nullopt;
      n |= static_cast<uint32_t>(v) << (18 - 6 * j);
    }
    // The bits below the last encoded byte must be zero, so each byte string has one encoding.
    if ((pad == 1 && (n & 0xFF) != 0) || (pad == 2 && (n & 0xFFFF) != 0)) return std::nullopt;
    out.push_back(static_cast<uint8_t>(n >> 16));
    if (pad < 2) out.push_back(static_cast<uint8_t>(n >> 8));
    if (pad < 1) out.push_back(static_cast<uint8_t>(n));
  }
  return out;
}

}  // namespace brellis::platform::foundation
