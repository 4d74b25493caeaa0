#include "platform/foundation/uuid.h"

#include <uuid/uuid.h>

#include <algorithm>

namespace brellis::platform::foundation {
namespace {

constexpr size_t kTextLength = 36;

bool isHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}  // namespace

Uuid Uuid::random() {
  uuid_t raw;
  uuid_generate_random(raw);
  std::array<uint8_t, 16> bytes;
  std::copy(raw, raw + 16, bytes.begin());
  return Uuid(bytes);
}

std::optional<Uuid> Uuid::parse(std::string_view text) {
  // Exactly 8-4-4-4-12 hex digits in either case; libuuid is handed only text checked here, as a
  // NUL-terminated copy (a view need not be terminated).
  if (text.size() != kTextLength) return std::nullopt;
  for (size_t i = 0; i < kTextLength; ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? text[i] != '-' : !isHexDigit(text[i])) return std::nullopt;
  }
  char buffer[kTextLength + 1];
  text.copy(buffer, kTextLength);
  buffer[kTextLength] = '\0';
  uuid_t raw;
  if (uuid_parse(buffer, raw) != 0) return std::nullopt;
  std::array<uint8_t, 16> bytes;
  std::copy(raw, raw + 16, bytes.begin());
  return Uuid(bytes);
}

std::string Uuid::string() const {
  uuid_t raw;
  std::copy(bytes_.begin(), bytes_.end(), raw);
  char buffer[kTextLength + 1];
  uuid_unparse_upper(raw, buffer);
  return std::string(buffer, kTextLength);
}

}  // namespace brellis::platform::foundation
