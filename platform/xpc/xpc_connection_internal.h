#pragma once

#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <variant>

#include "platform/security/requirement.h"
#include "platform/xpc/frame.h"
#include "platform/xpc/xpc_connection.h"

namespace brellis::platform::xpc {

// The state of one XpcConnection. Fields under `mutex` are touched from any thread; the
// "strand only" fields belong to the connection's strand.
struct XpcConnection::Internal {
  enum class Role { client, server };
  enum class Link { idle, connecting, awaitingHello, open, closed };
  struct ServiceRecipe {
    std::string name;
    bool userOnly = true;
    bool privileged = false;
    // Privileged without a state root: only a server running as root is trusted. Decided when
    // the connection is made.
    bool requireRootServer = false;
  };
  using Recipe = std::variant<std::monostate, ServiceRecipe, Endpoint>;

  struct PendingCall {
    std::vector<ArgType> replyTypes;
    ReplyBlock reply;
    std::shared_ptr<const ProxyErrorHandler> errorHandler;
  };
  struct Outgoing {
    EncodedFrame frame;
    size_t offset = 0;
    bool credentials = false;
    // A one-way message's error handler, told if the message is never sent.
    std::shared_ptr<const ProxyErrorHandler> oneWayErrorHandler;
  };

  Internal(Role role, Recipe recipe, ConnectionLimits limits);

  const Role role;
  const Recipe recipe;
  const ConnectionLimits limits;
  asio::strand<asio::any_io_executor> strand;
  std::weak_ptr<XpcConnection> self;

  mutable std::mutex mutex;
  std::shared_ptr<const InterfaceDescription> remoteInterface;
  std::shared_ptr<const InterfaceDescription> exportedInterface;
  std::shared_ptr<ExportedObject> exportedObject;
  Handler invalidationHandler;
  Handler interruptionHandler;
  std::optional<security::Requirement> requirement;
  bool activated = false;
  bool invalidated = false;
  std::optional<foundation::ErrorRecord> terminalError;  // what later messages fail with
  std::optional<PeerCredentials> peer;
  int dropReplies = 0;
  int duplicateReplies = 0;
  std::shared_ptr<XpcConnection> keepAlive;  // from activation until invalidation

  // Strand only.
  std::unique_ptr<asio::posix::stream_descriptor> socket;
  std::unique_ptr<asio::steady_timer> timer;
  Link link = Link::idle;
  uint64_t linkGeneration = 0;
  bool readArmed = false;
  bool writeArmed = false;
  bool helloReceived = false;
  std::optional<ucred> firstCredentials;
  std::unique_ptr<FrameReader> reader;
  std::vector<uint8_t> readBuffer;  // receive buffer, allocated at the first read
  std::deque<Outgoing> outbox;
  std::map<uint64_t, PendingCall> pending;
  uint64_t nextId = 1;
  // Server side before activation: told once the client's hello has arrived (true) or the
  // handshake failed (false).
  std::function<void(bool)> onHandshake;

  // Adopts an accepted socket (server side) and starts reading the client's hello.
  void adoptServerSocket(UniqueFd fd, std::function<void(bool)> onHandshake);
  // Strand entry points.
  void start();
  void sendCall(const MethodDescription* method, std::vector<Value> arguments, ReplyBlock reply,
                std::shared_ptr<const ProxyErrorHandler> errorHandler);
  void teardown(std::optional<foundation::ErrorRecord> cause);

 private:
  void connect();
  void connectNamed();
  void connectEndpoint(int attempt);
  void attach(UniqueFd fd);
  void retryLater(int attempt, std::function<void(int)> retry);
  void queueHello();
  void queueFrame(const Frame& frame, std::shared_ptr<const ProxyErrorHandler> oneWay);
  void flush();
  void armRead();
  void readAvailable();
  void processFrames();
  void handleFrame(Frame frame);
  void handleHello();
  void handleCall(Frame frame);
  void handleReply(Frame frame);
  void sendReply(uint64_t id, std::optional<std::vector<Value>> values);
  void linkLost();
  void violation(const std::string& reason);
  void failPending(const foundation::ErrorRecord& error);
  void closeSocket();
};

}  // namespace brellis::platform::xpc
