// The read of the login window's right through the security tool (a coroutine; the decoding
// lives apart in authorization_db_system_login_console.cpp).
#include "login_app/authorization_db_system_login_console.h"
#include "platform/foundation/utf_text.h"

namespace brellis::login_app {

namespace {
constexpr const char* kToolArguments[] = {"authorizationdb", "read", "system.login.console"};
}  // namespace

asio::awaitable<AuthorizationDBSystemLoginConsole> AuthorizationDBSystemLoginConsole::read() {
  co_return co_await read(platform::foundation::ProcessRunner::system(), toolPath());
}

asio::awaitable<AuthorizationDBSystemLoginConsole> AuthorizationDBSystemLoginConsole::read(
    std::shared_ptr<platform::foundation::ProcessRunner> runner, std::filesystem::path tool) {
  std::vector<std::string> arguments(std::begin(kToolArguments), std::end(kToolArguments));
  platform::foundation::ProcessTermination termination = co_await platform::foundation::runProcess(
      std::move(runner), std::move(tool), std::move(arguments));
  if (termination.status != 0) {
    std::string text(termination.standardError.begin(), termination.standardError.end());
    if (!platform::foundation::isValidUtf8(text)) text.clear();
    throw TerminationError({termination.status, std::move(text)});
  }
  co_return decode(termination.standardOutput);
}

}  // namespace brellis::login_app
