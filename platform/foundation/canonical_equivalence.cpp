#include "platform/foundation/canonical_equivalence.h"

#include <unicode/unorm2.h>

#include <climits>
#include <vector>

#include "platform/foundation/utf_text.h"

namespace brellis::platform::foundation {

namespace {

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
  // Ill-formed text has no composition; ICU counts lengths in 32 bits.
  auto units = utf8ToUtf16(text);
  if (!units || units->size() > INT32_MAX / 2) return std::nullopt;
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
  return utf16ToUtf8(*units);
}

std::string canonicalHashKey(std::string_view text) {
  return canonicalComposition(text).value_or(std::string(text));
}

}  // namespace brellis::platform::foundation
