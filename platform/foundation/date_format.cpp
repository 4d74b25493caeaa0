#include "platform/foundation/date_format.h"

#include <ctime>

namespace brellis::platform::foundation {

std::string formatLogDate(std::chrono::system_clock::time_point time) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm local{};
  if (!localtime_r(&seconds, &local)) return {};
  // The names are spelled out here rather than taken from strftime, so the process locale
  // never changes them.
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%s %s %02d %02d:%02d:%02d", kDays[local.tm_wday % 7],
                kMonths[local.tm_mon % 12], local.tm_mday, local.tm_hour, local.tm_min,
                local.tm_sec);
  return buffer;
}

}  // namespace brellis::platform::foundation
