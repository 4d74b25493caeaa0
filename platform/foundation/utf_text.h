#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace brellis::platform::foundation {

// Strict Unicode helpers of the property-list codecs: no overlong forms, no surrogate code points
// in UTF-8, no unpaired surrogates in UTF-16, nothing above U+10FFFF.

bool isAsciiText(std::string_view text);
bool isValidUtf8(std::string_view text);
// Where UTF-8 text may be cut at or before byte `at` without splitting a sequence: `at` moved
// back over continuation bytes; text.size() when `at` is past the end.
size_t utf8BoundaryAtOrBefore(std::string_view text, size_t at);
// Absent when `text` is not valid UTF-8.
std::optional<std::u16string> utf8ToUtf16(std::string_view text);
// Absent when `text` holds an unpaired surrogate.
std::optional<std::string> utf16ToUtf8(std::u16string_view text);

}  // namespace brellis::platform::foundation
