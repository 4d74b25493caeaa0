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

#include "platform/os_log/logger.h"
#include "platform/security/code_signing.h"
#include "platform/security/requirement.h"
#include "platform/xpc/frame.h"
#include "platform/xpc/xpc_connection.h"

namespace brellis::platform::xpc {

// The state of one XpcConnection, shared by the files of its jobs: xpc_connection.cpp (public
// surface), connection_lifecycle.cpp (connecting, handshake, interruption, invalidation),
// connection_sending.cpp (the outbox and the calls awaiting a reply) and
// connection_receiving.cpp (reading, dispatching calls to the exported object, matching replies).
//
// Four kinds of fields: those under `mutex` (configuration and the outcome of the connection)
// are touched from any thread; those under `sendMutex` (what is sent) and `pendingMutex` (what
// awaits a reply) too, so that a message is written on the caller's thread without a hop to the
// strand; the "strand only" fields belong to the connection's strand. `mutex` is never held
// with another, pendingMutex may be taken inside sendMutex, and no handler runs while any is held.
struct XpcConnection::Internal {
  enum class Role { client, server };
  // verifying: the server's hello has arrived and its code signature is being checked on the
  // pool; what the server sent after its hello waits (in the reader or the socket) until then.
  enum class Link { idle, connecting, awaitingHello, verifying, open, closed };
  // What the socket may carry now: nothing, only this side's hello (the handshake), or anything.
  enum class SendGate { closed, helloOnly, open };
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

  // Under sendMutex.
  std::mutex sendMutex;
  SendGate gate = SendGate::closed;
  int sendFd = -1;              // the socket while attached; closed only with the gate closed
  uint64_t sendGeneration = 0;  // linkGeneration of the attached socket
  bool writeArmed = false;      // the outbox waits for the socket to take more
  bool ended = false;           // torn down: nothing more is queued
  std::deque<Outgoing> outbox;

  // Under pendingMutex: the calls awaiting a reply. Taken alone by the reader (so a reply is
  // matched while a sender still writes) or inside sendMutex, never the other way round.
  std::mutex pendingMutex;
  std::map<uint64_t, PendingCall> pending;
  uint64_t nextId = 1;

  // Strand only.
  std::unique_ptr<asio::posix::stream_descriptor> socket;
  std::unique_ptr<asio::steady_timer> timer;
  Link link = Link::idle;
  uint64_t linkGeneration = 0;
  bool readArmed = false;
  bool helloReceived = false;
  std::optional<ucred> firstCredentials;
  std::unique_ptr<FrameReader> reader;
  std::vector<uint8_t> readBuffer;  // receive buffer, allocated at the first read
  // Server side before activation: told once the client's hello has arrived (true) or the
  // handshake failed (false).
  std::function<void(bool)> onHandshake;

  // Adopts an accepted socket (server side) and starts reading the client's hello.
  void adoptServerSocket(UniqueFd fd, std::function<void(bool)> onHandshake);
  // Strand entry points.
  void start();
  void teardown(std::optional<foundation::ErrorRecord> cause);
  // Any thread.
  void sendCall(const MethodDescription* method, std::vector<Value> arguments, ReplyBlock reply,
                std::shared_ptr<const ProxyErrorHandler> errorHandler);
  void sendReply(uint64_t id, std::optional<std::vector<Value>> values);

  // Lifecycle (strand).
  void connect();
  void connectNamed();
  void connectEndpoint(int attempt);
  void attach(UniqueFd fd);
  void retryLater(int attempt, std::function<void(int)> retry);
  void handleHello();
  void serverVerified(const security::ValidityResult& result, pid_t pid);
  void linkLost();
  void violation(const std::string& reason);
  void closeSocket();
  // Sending. openGate and queueHello run on the strand; flushLocked on any thread, with
  // sendMutex held; flush takes it.
  void queueHello();
  void openGate();
  void flush();
  void flushLocked(std::unique_lock<std::mutex>& lock);
  void armWrite(uint64_t generation);
  void failPending(const foundation::ErrorRecord& error);
  // Runs `handler` with `error` on the strand (a message that fails before it is sent).
  void failLater(std::shared_ptr<const ProxyErrorHandler> handler, foundation::ErrorRecord error);
  // Receiving (strand).
  void armRead();
  void readAvailable();
  void processFrames();
  void handleFrame(Frame frame);
  void handleCall(Frame frame);
  void handleReply(Frame frame);
};

const os_log::Logger& connectionLogger();
foundation::ErrorRecord invalidError(const std::string& why);

}  // namespace brellis::platform::xpc
