#include "platform/foundation/process_runner.h"

#include <gtest/gtest.h>

#include <asio/strand.hpp>
#include <cerrno>

#include "platform/dispatch/main_loop.h"
#include "platform/dispatch/task.h"
#include "platform/foundation/error_record.h"

namespace brellis::platform::foundation {
namespace {

ProcessTermination run(std::shared_ptr<ProcessRunner> runner, const std::string& script) {
  return dispatch::blockOn(dispatch::globalExecutor(),
                           runProcess(std::move(runner), "/bin/sh", {"-c", script}));
}

TEST(ProcessRunnerTest, DrainsBothPipesWhileTheToolRunsAndReportsItsStatus) {
  auto runner = ProcessRunner::system();
  // Far more than a pipe holds, on both outputs, interleaved.
  auto done = run(runner,
                  "for i in 1 2 3 4; do head -c 100000 /dev/zero; head -c 100000 /dev/zero >&2; "
                  "done; exit 3");
  EXPECT_EQ(done.status, 3);
  EXPECT_EQ(done.standardOutput.size(), 400000u);
  EXPECT_EQ(done.standardError.size(), 400000u);
  done = run(runner, "printf out; printf err >&2");
  EXPECT_EQ(done.status, 0);
  EXPECT_EQ(std::string(done.standardOutput.begin(), done.standardOutput.end()), "out");
  EXPECT_EQ(std::string(done.standardError.begin(), done.standardError.end()), "err");
  // Ended by a signal: the signal's number.
  EXPECT_EQ(run(runner, "kill -TERM $$").status, 15);
}

TEST(ProcessRunnerTest, LaunchFailureThrowsAndTheCallerResumesOnItsOwnExecutor) {
  auto runner = ProcessRunner::system();
  try {
    dispatch::blockOn(dispatch::globalExecutor(),
                      runProcess(runner, "/nonexistent/tool", {"authorizationdb"}));
    ADD_FAILURE() << "launched";
  } catch (const ErrorException& error) {
    EXPECT_EQ(error.record().domain, kPosixErrorDomain);
    EXPECT_EQ(error.record().code, ENOENT);
  }
  auto strand = asio::make_strand(dispatch::globalExecutor());
  auto onStrand = [](std::shared_ptr<ProcessRunner> runner,
                     asio::strand<asio::any_io_executor> strand) -> asio::awaitable<bool> {
    co_await runProcess(std::move(runner), "/bin/true", {});
    co_return strand.running_in_this_thread();
  };
  EXPECT_TRUE(dispatch::blockOn(strand, onStrand(runner, strand)));
}

TEST(ProcessRunnerTest, TimeLimitAndOutputCapBoundWhatATaskWaitsForAndKeeps) {
  ProcessRunner::Options options;
  options.timeLimit = std::chrono::milliseconds(200);
  options.maxOutputBytes = 1000;
  auto runner = ProcessRunner::system(options);
  // The child must outlive the time limit: the limit, not the child, ends the task (killed, 9).
  auto done = run(runner, "head -c 5000 /dev/zero; exec sleep 30");
  EXPECT_EQ(done.status, 9);
  EXPECT_EQ(done.standardOutput.size(), 1000u);
}

}  // namespace
}  // namespace brellis::platform::foundation
