#pragma once

namespace brellis::connectivity {

// Logged (at error level) by both invitation handlers when they have no session to offer.
inline constexpr const char* kSessionUndefinedMessage = "Session is undefined";

}  // namespace brellis::connectivity
