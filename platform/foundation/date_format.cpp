#include "platform/foundation/date_format.h"

#include <pthread.h>

#include <ctime>
#include <mutex>

namespace brellis::platform::foundation {

namespace {

// The C library's local-time conversion takes a lock of its own, which a child of fork() inherits
// held when another thread was converting at that moment. Conversions here go one at a time
// behind a lock that is held across fork(), so none is under way when the process forks and the
// child's first log line cannot wait for good.
std::mutex conversionMutex;
[[maybe_unused]] const int forkHandlersInstalled =
    pthread_atfork([] { conversionMutex.lock(); }, [] { conversionMutex.unlock(); },
                   [] { conversionMutex.unlock(); });

}  // namespace

std::string formatLogDate(std::chrono::system_clock::time_point time) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm local{};
  {
    std::lock_guard lock(conversionMutex);
    if (!localtime_r(&seconds, &local)) return {};
  }
  // The names are spelled out here rather than taken from strftime, so the process locale
  // never changes them.
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%s %s %02d %02d:%02d:%02d", kDays[local.tm_wday % 7],
                kMonths[local.tm_mon % 12], local.tm_mday, local.tm_hour, local.tm_min,
                local.tm_sec);
  return buffer;
}

}  // namespace brellis::platform::foundation
