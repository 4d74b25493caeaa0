#pragma once

#include <asio/awaitable.hpp>

namespace brellis::login_app {

// Orders the token manager's peer creation after the launch check's rewrite of the group
// defaults. The rewrite removes the stored peers "ContainerPeer" and "DriverPeer", which the
// token manager then makes again from the unlock data; the window (and with it a token manager)
// comes up while the launch check is still talking to the daemon, so without this order the
// peers just made could be wiped, leaving the token plug-in with no phone to reach.
//
// The program closes the gate once at start (before the main loop can make a token manager); the
// launch check opens it when it has finished, and so does any run that does no launch check.
// While no one has closed it, the gate is open. Thread-safe; waiters resume on their own executor.
class LaunchCheckGate {
 public:
  static void close();
  static void open();
  // Completes at once when open, else when the gate opens.
  static asio::awaitable<void> passed();
};

}  // namespace brellis::login_app
