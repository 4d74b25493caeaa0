#pragma once

#include <optional>

#include "login_app/authorization_db_system_login_console.h"
#include "login_app/unlock_settings.h"

namespace brellis::login_app {

// The maker's own login mechanism: while the login window's right lists it, the toggle window
// stays hidden.
inline constexpr const char* kLoginMechanism = "VelkorTarvoLogin:LoginUI";

// Whether the right lists kLoginMechanism (whole-string equality).
bool listsLoginMechanism(const AuthorizationDBSystemLoginConsole& right);

// Whether the login window shows the toggle window: the managed suite opened, its settings
// decoded with enableUnlockForLogin present and true, and the right (when it could be read) does
// not list the mechanism. Without a right the mechanism test is skipped.
bool shouldShowWindow(const std::optional<AuthorizationDBSystemLoginConsole>& right,
                      bool suiteOpened, const std::optional<UnlockSettings>& settings);

}  // namespace brellis::login_app
