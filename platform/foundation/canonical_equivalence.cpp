#include "platform/foundation/canonical_equivalence.h"

#include <unicode/unorm2.h>
#include <unicode/ustring.h>

#include <climits>
#include <vector>

namespace brellis::platform::foundation {

namespace {

// Well-formed UTF-8 as UTF-16; nothing for ill-formed input (u_strFromUTF8 substitutes nothing).
std::optional<std::u16string> utf16(std::string_view text) {
  if (text.size() > INT32_MAX / 2) return std::nullopt;
  std::u16string out(text.size(), u'\0');  // never more UTF-16 units than UTF-8 bytes
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromUTF8(out.data(), static_cast<int32_t>(out.size()), &length, text.data(),
                static_cast<int32_t>(text.size()), &status);
  if (U_FAILURE(status)) return std::nullopt;
  out.resize(static_cast<size_t>(length));
  return out;
}

std::optional<std::u16string> normalized(const UNormalizer2* normalizer, const std::u16string& in) {
  UErrorCode status = U_ZERO_ERROR;
  int32_t length =
      unorm2_normalize(normalizer, in.data(), static_cast<int32_t>(in.size()), nullptr, 0, &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return std::nullopt;
  std::u16string out(static_cast<size_t>(length), u'\0');
  status = U_ZERO_ERROR;
  unorm2_normalize(normalizer, in.data(), static_cast<int32_t>(in.size()), out.data(), length,
                   &status);
  if (U_FAILURE(status)) return std::nullopt;
  return out;
}

std::optional<std::u16string> composed(std::string_view text) {
  UErrorCode status = U_ZERO_ERROR;
  const UNormalizer2* nfc = unorm2_getNFCInstance(&status);
  if (U_FAILURE(status)) return std::nullopt;
  auto units = utf16(text);
  if (!units) return std::nullopt;
  return normalized(nfc, *units);
}

}  // namespace

bool canonicallyEquivalent(std::string_view a, std::string_view b) {
  if (a == b) return true;
  auto first = composed(a);
  if (!first) return false;
  auto second = composed(b);
  return second && *first == *second;
}

std::optional<std::string> canonicalComposition(std::string_view text) {
  auto units = composed(text);
  if (!units) return std::nullopt;
  std::string out(units->size() * 3, '\0');
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strToUTF8(out.data(), static_cast<int32_t>(out.size()), &length, units->data(),
              static_cast<int32_t>(units->size()), &status);
  if (U_FAILURE(status)) return std::nullopt;
  out.resize(static_cast<size_t>(length));
  return out;
}

std::string canonicalHashKey(std::string_view text) {
  return canonicalComposition(text).value_or(std::string(text));
}

}  // namespace brellis::platform::foundation
