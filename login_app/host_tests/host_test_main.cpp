#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/dispatch/main_loop.h"
#include "testing/support/temporary_state_root.h"

// Each test process logs under its own subsystem, so the lines it wrote to the shared log file
// can be told apart from those of other processes.
int main(int argc, char** argv) {
  const std::string identifier = "com.velkor.brellis.hosttest." + std::to_string(::getpid());
  ::setenv("BRELLIS_BUNDLE_IDENTIFIER", identifier.c_str(), 1);
  brellis::testing::makeProcessStateRoot();  // also before any thread runs
  ::testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  // Tasks of the token managers made by the launch check may still be running on the shared
  // pool; stop it before static objects are destroyed.
  const bool stopped = brellis::platform::dispatch::shutdownForExit();
  brellis::testing::removeProcessStateRoot();
  if (!stopped) {
    std::fflush(nullptr);
    ::_exit(result);
  }
  return result;
}
