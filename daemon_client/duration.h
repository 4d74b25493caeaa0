#pragma once

#include <cstdint>

namespace brellis::daemon_client {

// A signed count of attoseconds (10^-18 s) in 128 bits. Its keyed form is the two-element list
// [high 64 bits as a signed integer, low 64 bits as an unsigned integer].
struct Duration {
  __int128 attoseconds = 0;

  static Duration seconds(int64_t seconds) {
    return Duration{static_cast<__int128>(seconds) * kAttosecondsPerSecond};
  }
  static Duration fromComponents(int64_t high, uint64_t low) {
    return Duration{static_cast<__int128>(
        (static_cast<unsigned __int128>(static_cast<__int128>(high)) << 64) | low)};
  }
  int64_t high() const { return static_cast<int64_t>(attoseconds >> 64); }
  uint64_t low() const { return static_cast<uint64_t>(attoseconds); }

  bool operator==(const Duration&) const = default;

  static constexpr int64_t kAttosecondsPerSecond = 1000000000000000000;
};

}  // namespace brellis::daemon_client
