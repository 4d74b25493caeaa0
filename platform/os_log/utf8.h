#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace brellis::platform::os_log {

// Strict UTF-8, shared by the log's escaping and the property-list codecs (this layer is the
// lowest that both use): no overlong forms, no surrogates, nothing above U+10FFFF.

// The scalar of `text` at `pos`, with `pos` moved past it; absent (and `pos` unchanged) when the
// bytes there are not one well-formed sequence. `pos` must be inside `text`.
std::optional<char32_t> decodeUtf8Scalar(std::string_view text, size_t& pos);

// `scalar` (at most U+10FFFF) appended to `out` as UTF-8.
void appendUtf8(std::string& out, char32_t scalar);

}  // namespace brellis::platform::os_log
