#pragma once

// The outside client of the main program's beacon interface (VelkorBrellisXPC), as the
// login-window side uses it: it fetches the listener endpoint from the daemon
// (brellisListenerEndpointWithCompletion:), connects to it, makes one call and prints the reply.
//
// Command line:
//   brellis-beacon-client start ACCOUNT     startBeaconForAccount:completion:
//   brellis-beacon-client stop              stopBeaconWithCompletion:
//   [--timeout SECONDS]                     the longest wait for the reply (default 120)
// With BRELLIS_ROOT naming the state root of the test daemon (signed by a test authority that
// the state root trusts, see testing/codesign). It prints one JSON line once the reply arrives:
//   {"operation":"start","reply":"success"}
//   {"operation":"start","reply":"error","domain":D,"code":N,"localizedDescription":T
//    [,"debugDescription":T]}
//   {"operation":"stop","reply":"success"}
// and exits 0; it exits 1 when the endpoint cannot be had, the call fails or the wait times out
// (the reason on stderr), 2 for a bad command line.

#include <chrono>
#include <optional>
#include <string>

namespace brellis::testing {

struct BeaconClientRequest {
  enum class Operation { start, stop };
  Operation operation = Operation::start;
  std::string account;
  std::chrono::milliseconds timeout = std::chrono::seconds(120);
};

// Parses the arguments after the program name; nullopt when they are not understood.
std::optional<BeaconClientRequest> parseBeaconClientArguments(int argc, char** argv);

// Makes the call; returns the exit status. Blocks the calling (non-pool) thread.
int runBeaconClient(const BeaconClientRequest& request);

}  // namespace brellis::testing
