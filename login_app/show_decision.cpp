#include "login_app/show_decision.h"

#include <algorithm>

namespace brellis::login_app {

bool listsLoginMechanism(const AuthorizationDBSystemLoginConsole& right) {
  return std::find(right.mechanisms.begin(), right.mechanisms.end(), kLoginMechanism) !=
         right.mechanisms.end();
}

bool shouldShowWindow(const std::optional<AuthorizationDBSystemLoginConsole>& right,
                      bool suiteOpened, const std::optional<UnlockSettings>& settings) {
  if (!suiteOpened || !settings) return false;
  if (right && listsLoginMechanism(*right)) return false;
  return settings->enableUnlockForLogin.value_or(false);
}

}  // namespace brellis::login_app
