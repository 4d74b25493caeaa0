#pragma once

#include <chrono>
#include <functional>

namespace brellis::testing {

// Polls `condition` every `interval` until it holds or `timeout` ends; asks once more at the
// deadline, so a condition that came true while the caller slept still counts.
bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(5),
               std::chrono::milliseconds interval = std::chrono::milliseconds(1));

}  // namespace brellis::testing
