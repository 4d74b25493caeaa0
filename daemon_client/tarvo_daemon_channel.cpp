#include "daemon_client/tarvo_daemon_channel.h"

#include <exception>
#include <utility>

#include "daemon_client/tarvo_daemon_wire.h"
#include "ipc/bundle_info.h"
#include "platform/dispatch/process_local.h"
#include "platform/foundation/error_record.h"

namespace brellis::daemon_client {

namespace {

using platform::xpc::Value;
using Reply = std::vector<Value>;

constexpr const char* kDaemonServiceName = "com.velkor.tarvo.daemon";
constexpr const char* kDaemonBundleID = "com.velkor.tarvo.daemon";
constexpr const char* kDaemonSecureVersion = "0.0.0";
constexpr const char* kRequirementErrorFormat = "code signing requirement error: %{public}s";

// The requirement for the daemon's code; a failure to add it is logged and set-up goes on.
std::shared_ptr<ipc::CodeSigningRequirement> productionRequirement() {
  auto requirement = std::make_shared<ipc::CodeSigningRequirement>();
  try {
    requirement->addProductionCodeSigningRequirement(
        ipc::BundleInfo(kDaemonBundleID, kDaemonSecureVersion), std::nullopt);
  } catch (...) {
    tarvoDaemonConnectionLogger().error(kRequirementErrorFormat,
                                        platform::foundation::errorText(std::current_exception()));
  }
  return requirement;
}

}  // namespace

std::shared_ptr<const platform::xpc::InterfaceDescription> TarvoDaemonInterface::description() {
  return tarvoDaemonInterfaceDescription();
}

// The proxy body of one call: sends the selector and resumes the continuation from the reply
// block. A named type rather than a capturing lambda: g++ 12 miscompiles a capturing lambda
// inside a co_await expression.
struct SendBody {
  std::string selector;
  std::vector<Value> arguments;
  void operator()(platform::xpc::RemoteProxy proxy, ipc::Continuation<Reply> continuation) {
    proxy.call(selector, arguments,
               [continuation](Reply reply) { continuation.resume(std::move(reply)); });
  }
};

asio::awaitable<Reply> XpcDaemonChannel::send(std::string function, std::string selector,
                                              std::vector<Value> arguments) {
  SendBody body{std::move(selector), std::move(arguments)};
  co_return co_await connection_->proxy<Reply>(std::move(function), std::move(body));
}

std::shared_ptr<TarvoDaemonConnection> TarvoDaemonConnection::make(Options options) {
  auto requirement = options.requirement ? options.requirement : productionRequirement();
  auto connection = ipc::Connection<TarvoDaemonInterface>::withMachServiceName(
      options.machServiceName, options.options, std::move(requirement));
  auto self = makeWithChannel(std::make_shared<XpcDaemonChannel>(connection), options.clock);
  connection->setDelegate(self);
  return self;
}

TarvoDaemonConnection& TarvoDaemonConnection::shared() {
  // Created on first use in each process and kept until it ends. A forked child makes its own:
  // the parent's connection is the parent's socket, served by the parent's socket thread.
  static auto* instance =
      new platform::dispatch::ProcessLocal<std::shared_ptr<TarvoDaemonConnection>>([] {
        Options options;
        options.machServiceName = kDaemonServiceName;
        options.options = platform::xpc::kConnectionPrivileged;
        return new std::shared_ptr<TarvoDaemonConnection>(make(std::move(options)));
      });
  return *instance->get();
}

}  // namespace brellis::daemon_client
