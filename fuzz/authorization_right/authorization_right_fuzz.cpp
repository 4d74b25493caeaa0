// Feeds arbitrary bytes, as the security tool would print them, to the decoding of the login
// window's right and the show decision. Anything may be refused with PlistError or
// DecodingError (the decision then skips the mechanism test); nothing may crash, and the
// decision must follow the mechanisms that were read.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "login_app/authorization_db_system_login_console.h"
#include "login_app/show_decision.h"
#include "platform/foundation/decoding_error.h"
#include "platform/foundation/plist_codec.h"

namespace login_app = brellis::login_app;
namespace foundation = brellis::platform::foundation;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::optional<login_app::AuthorizationDBSystemLoginConsole> right;
  try {
    right =
        login_app::AuthorizationDBSystemLoginConsole::decode(foundation::Bytes(data, data + size));
  } catch (const foundation::PlistError&) {
  } catch (const foundation::DecodingError&) {
  }
  const login_app::UnlockSettings on{std::nullopt, std::nullopt, true};
  const bool shown = login_app::shouldShowWindow(right, true, on);
  const bool listed = right && std::count(right->mechanisms.begin(), right->mechanisms.end(),
                                          std::string(login_app::kLoginMechanism)) > 0;
  if (shown == listed) std::abort();
  if (login_app::shouldShowWindow(right, true, login_app::UnlockSettings{})) std::abort();
  return 0;
}
