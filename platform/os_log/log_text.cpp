#include "platform/os_log/log_text.h"

#include "platform/os_log/utf8.h"

namespace brellis::platform::os_log {

namespace {

constexpr char32_t kReplacementCharacter = 0xFFFD;

// The next scalar of `text` from `i` (advanced past it); a malformed sequence gives U+FFFD for
// its first byte.
char32_t nextScalar(std::string_view text, size_t& i) {
  if (auto scalar = decodeUtf8Scalar(text, i)) return *scalar;
  ++i;
  return kReplacementCharacter;
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
