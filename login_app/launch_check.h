#pragma once

#include <asio/awaitable.hpp>

namespace brellis::login_app {

// Asks the daemon whether unlock is set up. Both the unlock data and the status answered: makes
// the application-group suite agree with the unlock data and gives true (keep serving). Either
// call failed: removes "UnlockToken" from the main program's token class, clears the suite and
// gives false (end the process). Never raises.
asio::awaitable<bool> launchCheck();

}  // namespace brellis::login_app
