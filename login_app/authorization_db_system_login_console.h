#pragma once

#include <asio/awaitable.hpp>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/foundation/plist_value.h"
#ifdef ASIO_HAS_CO_AWAIT  // the read is a coroutine; the decoding alone builds without them
#include "platform/foundation/process_runner.h"
#endif

namespace brellis::login_app {

// The authorization right of the login window, "system.login.console", as the security tool
// prints it. Only its mechanisms are read.
struct AuthorizationDBSystemLoginConsole {
  static constexpr const char* kMechanismsKey = "mechanisms";
  static constexpr const char* kToolPath = "/usr/bin/security";
  // Below a state root the tool is "<root>/bin/security", so tests can stand in for it.
  static constexpr const char* kToolRelativePath = "bin/security";

  std::vector<std::string> mechanisms;

  // The tool ended with a non-zero status: (status, its standard error as UTF-8 text, empty
  // when not valid UTF-8).
  class TerminationError : public std::exception {
   public:
    explicit TerminationError(std::pair<int64_t, std::string> status);
    const std::pair<int64_t, std::string>& status() const { return status_; }
    const char* what() const noexcept override { return what_.c_str(); }

   private:
    std::pair<int64_t, std::string> status_;
    std::string what_;
  };

#ifdef ASIO_HAS_CO_AWAIT
  // Runs "security authorizationdb read system.login.console" and decodes what it printed.
  // Throws the launch error, TerminationError, or the decoding error. Resumes the caller on its
  // own executor exactly once.
  static asio::awaitable<AuthorizationDBSystemLoginConsole> read();
  static asio::awaitable<AuthorizationDBSystemLoginConsole> read(
      std::shared_ptr<platform::foundation::ProcessRunner> runner, std::filesystem::path tool);
#endif

  // Decodes the tool's standard output (a property list, XML or binary): a dictionary whose
  // "mechanisms" is a list of strings. Throws PlistError or DecodingError.
  static AuthorizationDBSystemLoginConsole decode(const platform::foundation::Bytes& output);
  // The tool's path: kToolPath, or kToolRelativePath below the state root.
  static std::filesystem::path toolPath();
};

}  // namespace brellis::login_app
