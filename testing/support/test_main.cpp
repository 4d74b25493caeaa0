// The main() of every test executable: runs the tests, then stops the shared executors before
// static objects are destroyed, so that no pool thread outlives what it uses.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/dispatch/main_loop.h"
#include "testing/support/temporary_state_root.h"

int main(int argc, char** argv) {
  // Tests read local times in UTC, and the process's state root is named in BRELLIS_ROOT. Both
  // are set here, before any thread runs: the environment may not be changed while other
  // threads read it.
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  brellis::testing::makeProcessStateRoot();
  ::testing::InitGoogleTest(&argc, argv);
  int result = RUN_ALL_TESTS();
  const bool stopped = brellis::platform::dispatch::shutdownForExit();
  brellis::testing::removeProcessStateRoot();
  if (!stopped) {
    std::fflush(nullptr);
    ::_exit(result);
  }
  return result;
}
