#pragma once

#include <asio/awaitable.hpp>
#include <functional>
#include <memory>

#include "ipc/listener.h"
#include "login_app/velkor_brellis_xpc.h"
#include "login_app/velkor_brellis_xpc_session.h"
#include "platform/xpc/endpoint.h"
#include "platform/xpc/xpc_listener.h"

namespace brellis::login_app {

// The server of VelkorBrellisXPC: an anonymous listener that accepts every client (no
// code-signing requirement, no delegate) and exports the one session on every connection. Its
// endpoint is handed to the daemon, from which the login-window side fetches it.
//
// Ownership: one process-wide instance, made on first use and kept until exit; nothing
// invalidates its listener. Making it starts the endpoint registration in a task on DaemonActor
// and does not wait for it; the owner activates `listener` independently.
class VelkorBrellisXPCServer {
 public:
  // Registers the endpoint with the daemon; its failure is swallowed by the caller.
  using RegisterEndpoint = std::function<asio::awaitable<void>(platform::xpc::Endpoint)>;

  struct Options {
    VelkorBrellisXPCSession::Options session;
    // Null: the daemon connection's registerBrellisListenerEndpoint(_:).
    RegisterEndpoint registerEndpoint;
  };

  // The process-wide server, made with the options given to configureShared() (or the
  // defaults) on first use.
  static VelkorBrellisXPCServer& shared();
  // Before the first shared(): the options of the process-wide server. Later calls do nothing.
  static void configureShared(Options options);

  explicit VelkorBrellisXPCServer(Options options = {});
  VelkorBrellisXPCServer(const VelkorBrellisXPCServer&) = delete;
  VelkorBrellisXPCServer& operator=(const VelkorBrellisXPCServer&) = delete;

  const std::shared_ptr<platform::xpc::XpcListener> anonymousListener;
  const std::shared_ptr<VelkorBrellisXPCSession> exportedObject;
  const std::shared_ptr<ipc::Listener<VelkorBrellisXPC>> listener;
};

}  // namespace brellis::login_app
