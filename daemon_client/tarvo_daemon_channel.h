#pragma once

#include <memory>
#include <string>
#include <vector>

#include "daemon_client/tarvo_daemon_connection.h"
#include "ipc/connection.h"
#include "platform/xpc/interface_description.h"

namespace brellis::daemon_client {

// The daemon's XPC interface as the ipc layer names interfaces.
struct TarvoDaemonInterface {
  static std::shared_ptr<const platform::xpc::InterfaceDescription> description();
};

// The production channel: every operation is one proxy call on the Connection to the daemon,
// completed from the reply block (or by the proxy's error handler).
class XpcDaemonChannel : public DaemonChannel {
 public:
  explicit XpcDaemonChannel(std::shared_ptr<ipc::Connection<TarvoDaemonInterface>> connection)
      : connection_(std::move(connection)) {}

  asio::awaitable<std::vector<platform::xpc::Value>> send(
      std::string function, std::string selector,
      std::vector<platform::xpc::Value> arguments) override;

  const std::shared_ptr<ipc::Connection<TarvoDaemonInterface>>& connection() const {
    return connection_;
  }

 private:
  std::shared_ptr<ipc::Connection<TarvoDaemonInterface>> connection_;
};

}  // namespace brellis::daemon_client
