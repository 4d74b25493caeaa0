#include "token_host/driver_domain.h"

namespace brellis::token_host {

namespace {
constexpr const char* kUnlockClass = "com.velkor.tarvo.unlock.token";
constexpr const char* kBrellisClass = "com.velkor.tarvo.brellis.token";
}  // namespace

const char* rawValue(DriverDomain domain) {
  return domain == DriverDomain::unlock ? kUnlockClass : kBrellisClass;
}

std::optional<DriverDomain> driverDomain(std::string_view rawValue) {
  if (rawValue == kUnlockClass) return DriverDomain::unlock;
  if (rawValue == kBrellisClass) return DriverDomain::brellis;
  return std::nullopt;
}

}  // namespace brellis::token_host
