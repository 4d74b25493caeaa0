#pragma once

#include <chrono>

namespace brellis::platform::multipeer {

// Timings of the local link. The defaults are the platform's; tests shorten them.
struct LinkOptions {
  // How long an invitation waits for its answer when the caller passes a time-out of 0.
  std::chrono::milliseconds defaultInvitationTimeout{std::chrono::seconds(30)};
  // How often a browser looks at the discovery directory.
  std::chrono::milliseconds pollInterval{std::chrono::milliseconds(200)};
  // How long an advertiser waits for the hello of a new connection before dropping it.
  std::chrono::milliseconds helloTimeout{std::chrono::seconds(10)};
};

}  // namespace brellis::platform::multipeer
