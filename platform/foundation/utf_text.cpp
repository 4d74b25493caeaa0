#include "platform/foundation/utf_text.h"

#include <cstdint>

namespace brellis::platform::foundation {
namespace {

// Decodes one code point starting at `pos`, advancing it; -1 on any malformed sequence.
int32_t decodeUtf8(std::string_view text, size_t& pos) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t lead = byte(pos);
  if (lead < 0x80) {
    ++pos;
    return lead;
  }
  size_t length;
  int32_t cp;
  int32_t min;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, cp = lead & 0x1F, min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, cp = lead & 0x0F, min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, cp = lead & 0x07, min = 0x10000;
  } else {
    return -1;
  }
  if (text.size() - pos < length) return -1;
  for (size_t i = 1; i < length; ++i) {
    const uint8_t next = byte(pos + i);
    if ((next & 0xC0) != 0x80) return -1;
    cp = (cp << 6) | (next & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
  pos += length;
  return cp;
}

void appendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

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
