#include "platform/multipeer/service_type.h"

#include <string>

#include "platform/foundation/state_root.h"

namespace brellis::platform::multipeer {

bool isValidServiceType(std::string_view serviceType) {
  if (serviceType.empty() || serviceType.size() > 15) return false;
  if (serviceType.front() == '-' || serviceType.back() == '-') return false;
  char previous = 0;
  for (char c : serviceType) {
    bool allowed = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
    if (!allowed || (c == '-' && previous == '-')) return false;
    previous = c;
  }
  return true;
}

std::filesystem::path discoveryDirectory(std::string_view serviceType) {
  std::filesystem::path relative = std::filesystem::path("multipeer") / std::string(serviceType);
  return foundation::statePath(relative, std::filesystem::path("/run/brellis") / relative);
}

}  // namespace brellis::platform::multipeer
