#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace brellis::platform::foundation {

// Text equality as the platform's strings have it: two UTF-8 texts are equal when they are
// canonically equivalent (the composed and decomposed forms of "é" are one text). Text that is
// not well-formed UTF-8 equals only the very same bytes.
bool canonicallyEquivalent(std::string_view a, std::string_view b);

// The canonical composition (NFC) of well-formed UTF-8 text; canonically equivalent texts have
// the same one, so it is what a hash of such text is taken over. Nothing for ill-formed text.
std::optional<std::string> canonicalComposition(std::string_view text);

// The bytes to hash text by, consistent with canonicallyEquivalent().
std::string canonicalHashKey(std::string_view text);

}  // namespace brellis::platform::foundation
