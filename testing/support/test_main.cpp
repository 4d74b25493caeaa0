// The main() of every test executable: runs the tests, then stops the shared executors before
// static objects are destroyed, so that no pool thread outlives what it uses.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/dispatch/main_loop.h"

int main(int argc, char** argv) {
  // Tests read local times in UTC. Set here, before any thread runs: the environment may not
  // be changed while other threads read it.
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  ::testing::InitGoogleTest(&argc, argv);
  int result = RUN_ALL_TESTS();
  if (!brellis::platform::dispatch::shutdownForExit()) {
    std::fflush(nullptr);
    ::_exit(result);
  }
  return result;
}
