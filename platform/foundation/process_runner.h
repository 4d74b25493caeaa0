#pragma once

#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>
#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/plist_value.h"

namespace brellis::platform::foundation {

// What a command-line tool left behind: its termination status (the exit status, or the number
// of the signal that ended it) and everything it wrote to its standard output and error.
struct ProcessTermination {
  int64_t status = 0;
  Bytes standardOutput;
  Bytes standardError;
};

// Runs command-line tools (NSTask with a pipe on each output). Both pipes are drained while the
// tool runs, so a tool that writes more than a pipe holds never blocks. Replaceable for tests.
class ProcessRunner {
 public:
  using Terminated = std::function<void(ProcessTermination)>;

  struct Options {
    // A tool still running after this long is killed (SIGKILL): its status is then 9.
    std::chrono::milliseconds timeLimit = std::chrono::minutes(2);
    // Output beyond this many bytes per pipe is drained and dropped.
    size_t maxOutputBytes = 16 * 1024 * 1024;
  };

  virtual ~ProcessRunner() = default;

  // Starts `executable` with `arguments` (standard input /dev/null, environment inherited). When
  // the tool has ended and both pipes are at their end, `terminated` runs once on the runner's
  // own thread. A tool that cannot be started throws ErrorException (NSPOSIXErrorDomain, errno)
  // and `terminated` never runs.
  virtual void launch(const std::filesystem::path& executable,
                      const std::vector<std::string>& arguments, Terminated terminated) = 0;

  // The real runner: posix_spawn and one thread per running tool.
  static std::shared_ptr<ProcessRunner> system(Options options);
  static std::shared_ptr<ProcessRunner> system();
};

// Suspends until the tool has ended and resumes the caller on its own executor exactly once:
// with the termination, or by throwing the launch error.
inline asio::awaitable<ProcessTermination> runProcess(std::shared_ptr<ProcessRunner> runner,
                                                      std::filesystem::path executable,
                                                      std::vector<std::string> arguments) {
  auto initiate = [runner, executable, arguments](auto handler) {
    using Handler = decltype(handler);
    // The launch failure and the termination exclude each other, so this runs once.
    auto shared = std::make_shared<std::optional<Handler>>(std::move(handler));
    auto complete = [shared](std::exception_ptr error, ProcessTermination termination) {
      auto executor = asio::get_associated_executor(**shared);
      asio::post(executor, [shared, error, termination = std::move(termination)]() mutable {
        Handler handler = std::move(**shared);
        shared->reset();
        std::move(handler)(error, std::move(termination));
      });
    };
    try {
      runner->launch(executable, arguments, [complete](ProcessTermination termination) {
        complete(nullptr, std::move(termination));
      });
    } catch (...) {
      complete(std::current_exception(), {});
    }
  };
  co_return co_await asio::async_initiate<decltype(asio::use_awaitable),
                                          void(std::exception_ptr, ProcessTermination)>(
      initiate, asio::use_awaitable);
}

}  // namespace brellis::platform::foundation
