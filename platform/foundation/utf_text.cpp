#include "platform/foundation/utf_text.h"

#include <cstdint>

#include "platform/os_log/utf8.h"

namespace brellis::platform::foundation {
namespace {

// Decodes one code point starting at `pos`, advancing it; -1 on any malformed sequence.
int32_t decodeUtf8(std::string_view text, size_t& pos) {
  const auto scalar = os_log::decodeUtf8Scalar(text, pos);
  return scalar ? static_cast<int32_t>(*scalar) : -1;
}

using os_log::appendUtf8;

}  // namespace

bool isAsciiText(std::string_view text) {
  for (char c : text) {
    if (static_cast<uint8_t>(c) >= 0x80) return false;
  }
  return true;
}

size_t utf8BoundaryAtOrBefore(std::string_view text, size_t at) {
  if (at >= text.size()) return text.size();
  while (at > 0 && (static_cast<uint8_t>(text[at]) & 0xC0) == 0x80) --at;
  return at;
}

bool isValidUtf8(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size()) {
    if (decodeUtf8(text, pos) < 0) return false;
  }
  return true;
}

std::optional<std::u16string> utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    const int32_t cp = decodeUtf8(text, pos);
    if (cp < 0) return std::nullopt;
    if (cp < 0x10000) {
      out.push_back(static_cast<char16_t>(cp));
    } else {
      const uint32_t v = static_cast<uint32_t>(cp) - 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 | (v >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 | (v & 0x3FF)));
    }
  }
  return out;
}

std::optional<std::string> utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size() * 3);
  for (size_t i = 0; i < text.size(); ++i) {
    const uint32_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (i + 1 >= text.size()) return std::nullopt;
      const uint32_t low = text[i + 1];
      if (low < 0xDC00 || low > 0xDFFF) return std::nullopt;
      appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
      ++i;
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
      return std::nullopt;
    } else {
      appendUtf8(out, unit);
    }
  }
  return out;
}

}  // namespace brellis::platform::foundation
