#include "login_app/network_check.h"

#include <cmath>
#include <limits>

namespace brellis::login_app {

int64_t networkCheck(const platform::foundation::Defaults& defaults) {
  auto value = defaults.object(kNetworkCheckKey);
  if (!value) return 0;
  if (auto integer = value->int64()) return *integer;
  if (auto flag = value->boolean()) return *flag ? 1 : 0;
  if (auto real = value->real()) {
    // Out of range or not a number: no integer to give.
    if (!std::isfinite(*real) || std::fabs(*real) >= 9.2e18) return 0;
    return static_cast<int64_t>(*real);
  }
  return 0;
}

}  // namespace brellis::login_app
