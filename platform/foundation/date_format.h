#pragma once

#include <chrono>
#include <string>

namespace brellis::platform::foundation {

// Formats a time in local time with English names, independent of the process locale:
// "EEE MMM dd HH:mm:ss", e.g. "Wed Dec 09 04:32:42".
std::string formatLogDate(std::chrono::system_clock::time_point time);

}  // namespace brellis::platform::foundation
