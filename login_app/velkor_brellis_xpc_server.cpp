#include "login_app/velkor_brellis_xpc_server.h"

#include <mutex>
#include <optional>

#include "daemon_client/daemon_actor.h"
#include "daemon_client/tarvo_daemon_connection.h"
#include "platform/dispatch/task.h"

namespace brellis::login_app {

namespace {

std::mutex& sharedMutex() {
  static std::mutex mutex;
  return mutex;
}
std::optional<VelkorBrellisXPCServer::Options>& sharedOptions() {
  static std::optional<VelkorBrellisXPCServer::Options> options;
  return options;
}
bool& sharedMade() {
  static bool made = false;
  return made;
}

asio::awaitable<void> registerWithDaemon(platform::xpc::Endpoint endpoint) {
  co_await daemon_client::TarvoDaemonConnection::shared().registerBrellisListenerEndpoint(
      std::move(endpoint));
}

// The daemon connection logs its failed calls and registers the stored endpoint again after
// each loss of its connection; here a failure is only swallowed.
asio::awaitable<void> registerSwallowingFailure(VelkorBrellisXPCServer::RegisterEndpoint call,
                                                platform::xpc::Endpoint endpoint) {
  try {
    co_await call(std::move(endpoint));
  } catch (...) {
  }
}

}  // namespace

VelkorBrellisXPCServer& VelkorBrellisXPCServer::shared() {
  std::lock_guard lock(sharedMutex());
  // Never destroyed: the listener serves until the process exits.
  static VelkorBrellisXPCServer* server = [] {
    sharedMade() = true;
    return new VelkorBrellisXPCServer(sharedOptions().value_or(Options{}));
  }();
  return *server;
}

void VelkorBrellisXPCServer::configureShared(Options options) {
  std::lock_guard lock(sharedMutex());
  if (!sharedMade()) sharedOptions() = std::move(options);
}

VelkorBrellisXPCServer::VelkorBrellisXPCServer(Options options)
    : anonymousListener(platform::xpc::XpcListener::makeAnonymous()),
      exportedObject(VelkorBrellisXPCSession::create(std::move(options.session))),
      listener(ipc::Listener<VelkorBrellisXPC>::withListener(exportedObject, anonymousListener)) {
  auto call =
      options.registerEndpoint ? options.registerEndpoint : RegisterEndpoint(registerWithDaemon);
  platform::dispatch::detach(
      daemon_client::DaemonActor::shared().executor(),
      registerSwallowingFailure(std::move(call), anonymousListener->endpoint()));
}

}  // namespace brellis::login_app
