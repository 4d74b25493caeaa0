#pragma once

#include <asio/any_io_executor.hpp>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/xpc/connection_limits.h"
#include "platform/xpc/endpoint.h"
#include "platform/xpc/xpc_connection.h"

namespace brellis::platform::xpc {

// A listener (the stand-in for NSXPCListener), named or anonymous.
//
// A named listener binds a stream socket <service directory>/<name>; kConnectionPrivileged
// selects the system service directory, where, without a state root, it must run as root. An
// anonymous listener has no name: its endpoint() is a capability that travels inside messages,
// and a client connects by sending one end of a fresh socket pair through it.
//
// For each client the listener first reads the client's credentials; with a connection
// code-signing requirement set, a client that does not satisfy it is refused here and its
// connection closed (the delegate never sees it). Otherwise the delegate decides; on true the
// connection is handed over suspended (see XpcConnection), on false it is closed. The delegate
// runs on the listener's strand. invalidate() stops new connections and leaves the accepted
// ones alone.
class XpcListener : public std::enable_shared_from_this<XpcListener> {
 public:
  using ShouldAccept = std::function<bool(const std::shared_ptr<XpcConnection>&)>;

  static std::shared_ptr<XpcListener> makeWithMachServiceName(
      std::string name, uint64_t options = kConnectionPrivileged, ConnectionLimits limits = {});
  static std::shared_ptr<XpcListener> makeAnonymous(ConnectionLimits limits = {});

  ~XpcListener();  // invalidates
  XpcListener(const XpcListener&) = delete;
  XpcListener& operator=(const XpcListener&) = delete;

  // The anonymous listener's endpoint (valid from creation until invalidation); an invalid
  // Endpoint for a named listener.
  Endpoint endpoint() const;
  // The socket path of a named listener.
  std::optional<std::filesystem::path> socketPath() const;

  void setDelegate(ShouldAccept shouldAccept);
  // Throws foundation::ErrorException (NSOSStatusErrorDomain -67052) when it does not compile.
  void setConnectionCodeSigningRequirement(const std::string& requirementText);

  // Starts accepting. A named listener that cannot bind (bad name, path too long, directory
  // not creatable, not root for the system directory, name served by a live listener) logs an
  // error and stays inactive; activationFailure() then says why.
  void activate();
  void invalidate();
  std::optional<std::string> activationFailure() const;

  asio::any_io_executor executor() const;

  struct Internal;
  explicit XpcListener(std::unique_ptr<Internal> internal);

 private:
  std::unique_ptr<Internal> internal_;
};

}  // namespace brellis::platform::xpc
