// brellis-beacon-client: calls the main program's beacon interface; see beacon_client.h.

#include <unistd.h>

#include <cstdio>

#include "platform/dispatch/main_loop.h"
#include "testing/beacon_client/beacon_client.h"

int main(int argc, char** argv) {
  auto request = brellis::testing::parseBeaconClientArguments(argc, argv);
  if (!request) {
    std::fputs("usage: brellis-beacon-client start ACCOUNT | stop [--timeout SECONDS]\n", stderr);
    return 2;
  }
  int status = brellis::testing::runBeaconClient(*request);
  std::fflush(nullptr);
  if (!brellis::platform::dispatch::shutdownForExit()) _exit(status);
  return status;
}
