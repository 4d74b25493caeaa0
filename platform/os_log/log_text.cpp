#include "platform/os_log/log_text.h"

namespace brellis::platform::os_log {

namespace {

constexpr char32_t kReplacementCharacter = 0xFFFD;

// The next scalar of `text` from `i` (advanced past it); a malformed sequence (stray or missing
// continuation byte, overlong form, surrogate, beyond U+10FFFF) gives U+FFFD for its first byte.
char32_t nextScalar(std::string_view text, size_t& i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  if (lead < 0x80) {
    ++i;
    return lead;
  }
  size_t length = 0;
  char32_t scalar = 0;
  char32_t minimum = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, scalar = lead & 0x1F, minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, scalar = lead & 0x0F, minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, scalar = lead & 0x07, minimum = 0x10000;
  }
  if (length == 0 || i + length > text.size()) {
    ++i;
    return kReplacementCharacter;
  }
  for (size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0) != 0x80) {
      ++i;
      return kReplacementCharacter;
    }
    scalar = (scalar << 6) | (next & 0x3F);
  }
  if (scalar < minimum || scalar > 0x10FFFF || (scalar >= 0xD800 && scalar <= 0xDFFF)) {
    ++i;
    return kReplacementCharacter;
  }
  i += length;
  return scalar;
}

bool isEscapedAboveAscii(char32_t c) {
  return (c >= 0x80 && c <= 0x9F) || c == 0x2028 || c == 0x2029 || c == 0x061C || c == 0x200E ||
         c == 0x200F || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

void appendHex(std::string& out, char32_t value, int digits) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  out += "\\u{";
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out += kHex[(value >> shift) & 0xF];
  out += '}';
}

void appendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The one escaping walk of both forms; `quotes` adds the escapes of the quoted form.
std::string escape(std::string_view text, bool quotes) {
  std::string out;
  out.reserve(text.size() + (quotes ? 2 : 0));
  if (quotes) out += '"';
  for (size_t i = 0; i < text.size();) {
    const char32_t c = nextScalar(text, i);
    if (quotes && (c == '\\' || c == '"' || c == '\'')) {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == 0) {
      out += "\\0";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7F) {
      appendHex(out, c, 2);
    } else if (isEscapedAboveAscii(c)) {
      appendHex(out, c, 4);
    } else {
      appendUtf8(out, c);
    }
  }
  if (quotes) out += '"';
  return out;
}

}  // namespace

std::string escapingControls(std::string_view text) { return escape(text, false); }

std::string quotedDescription(std::string_view text) { return escape(text, true); }

}  // namespace brellis::platform::os_log
