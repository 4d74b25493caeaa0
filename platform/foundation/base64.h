#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/plist_value.h"

namespace brellis::platform::foundation {

// Standard alphabet with "=" padding, no line breaks.
std::string base64Encode(const Bytes& bytes);
// Strict decoding: length a multiple of 4, no whitespace or line breaks, "=" only as the final
// one or two characters, unused bits zero. Anything else gives absent.
std::optional<Bytes> base64Decode(std::string_view text);

}  // namespace brellis::platform::foundation
