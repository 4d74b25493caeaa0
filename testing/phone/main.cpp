// brellis-phone: the simulated phone for tests and the demo; see simulated_phone.h.

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "testing/phone/simulated_phone.h"

int main(int argc, char** argv) {
  std::string why;
  auto options =
      brellis::testing::parsePhoneArguments(std::vector<std::string>(argv + 1, argv + argc), &why);
  if (!options) {
    std::fprintf(stderr, "brellis-phone: %s (see testing/phone/simulated_phone.h)\n", why.c_str());
    return 2;
  }

  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  brellis::testing::SimulatedPhone phone(std::move(*options));
  phone.start();
  int received = 0;
  sigwait(&signals, &received);
  phone.stop();
  std::fflush(nullptr);
  // Link and pool threads may still run: leave without static destructors.
  _exit(0);
}
