#pragma once

// The `brellis` program: the background process of Velkor Unlock.
//
// Command line:
//   brellis                            launch check; when unlock is in use, serve the beacon
//                                      listener (its endpoint registered with the daemon) and
//                                      keep running; otherwise clear the set-up and exit 0
//   brellis --check-bluetooth-access   log "bluetooth state is <n>" (debug, category
//                                      "bluetooth") and exit 0
//   brellis -h | --help                help on stdout, exit 0; usage errors exit 64
//   brellis --generate-completion-script bash|zsh|fish,  brellis --experimental-dump-help
//
// Start: the process waits (probing once a second, without limit) until a window-server session
// exists, before anything else; with a state root (BRELLIS_ROOT) that is the file
// <root>/window_server/session. Then the command runs in a task beside the application main loop.
//
// Environment: BRELLIS_ROOT (state root: daemon service, defaults, token store, radio),
// BRELLIS_LOG_LEVEL=debug and BRELLIS_LOG_STDERR=1 (debug lines on stderr),
// BRELLIS_BEACON_RUN_SECONDS (the length of one beacon run, 30 when unset; tests shorten it).
//
// Demo against the test daemon (state root /tmp/demo; the daemon signed by a test authority the
// root trusts: brellis-codesign make-ca CA, install-anchor CA /tmp/demo, sign CA DAEMON
// com.velkor.tarvo.daemon 2.1; the archives written by brellis-fixtures):
//   $ export BRELLIS_ROOT=/tmp/demo
//   $ brellis-test-daemon --unlock-data data.archive --unlock-status status.archive &
//   $ mkdir -p /tmp/demo/window_server && touch /tmp/demo/window_server/session
//   $ BRELLIS_LOG_LEVEL=debug BRELLIS_LOG_STDERR=1 brellis &
//   $ brellis-beacon-client start alice        (then: brellis-beacon-client stop)

#include <asio/awaitable.hpp>
#include <optional>
#include <string>
#include <vector>

#include "login_app/program/command_line.h"

namespace brellis::login_app::program {

// The root command: its only stored property is the mode flag.
struct Brellis {
  std::optional<Mode> mode;

  // Parses `arguments` (without the program name), prints help or errors, runs the command;
  // the exit status of the process.
  static asio::awaitable<int> main(std::vector<std::string> arguments);

  // Check mode: logs the Bluetooth state and returns. Otherwise the launch check; false
  // returns; true activates the beacon server's listener and never returns.
  asio::awaitable<void> run() const;
};

// The beacon run length from BRELLIS_BEACON_RUN_SECONDS, if set to a number of seconds.
std::optional<double> beaconRunSecondsFromEnvironment();

}  // namespace brellis::login_app::program
