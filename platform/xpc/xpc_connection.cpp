#include "platform/xpc/xpc_connection.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <asio/dispatch.hpp>
#include <asio/post.hpp>
#include <cerrno>
#include <cstring>

#include "platform/dispatch/main_loop.h"
#include "platform/foundation/state_root.h"
#include "platform/os_log/logger.h"
#include "platform/security/code_signing.h"
#include "platform/xpc/service_directory.h"
#include "platform/xpc/socket_io.h"
#include "platform/xpc/xpc_connection_internal.h"
#include "platform/xpc/xpc_error.h"

namespace brellis::platform::xpc {
namespace {

const os_log::Logger& logger() {
  static const os_log::Logger instance("com.brellis.platform.xpc", "XpcConnection");
  return instance;
}

thread_local std::weak_ptr<XpcConnection> tCurrent;

constexpr size_t kReadChunk = 64 * 1024;

foundation::ErrorRecord invalidError(const std::string& why) {
  return xpcError(kErrorConnectionInvalid, why);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Public surface

XpcConnection::XpcConnection(std::unique_ptr<Internal> internal) : internal_(std::move(internal)) {}

XpcConnection::~XpcConnection() = default;

static std::shared_ptr<XpcConnection> makeConnection(XpcConnection::Internal::Role role,
                                                     XpcConnection::Internal::Recipe recipe,
                                                     ConnectionLimits limits) {
  auto connection = std::make_shared<XpcConnection>(
      std::make_unique<XpcConnection::Internal>(role, std::move(recipe), limits));
  connection->internal().self = connection;
  return connection;
}

std::shared_ptr<XpcConnection> XpcConnection::makeWithServiceName(std::string serviceName,
                                                                  ConnectionLimits limits) {
  return makeConnection(Internal::Role::client,
                        Internal::ServiceRecipe{std::move(serviceName), true, false, false},
                        limits);
}

std::shared_ptr<XpcConnection> XpcConnection::makeWithMachServiceName(std::string name,
                                                                      uint64_t options,
                                                                      ConnectionLimits limits) {
  bool privileged = (options & kConnectionPrivileged) != 0;
  bool requireRoot = privileged && !foundation::stateRoot();
  return makeConnection(Internal::Role::client,
                        Internal::ServiceRecipe{std::move(name), false, privileged, requireRoot},
                        limits);
}

std::shared_ptr<XpcConnection> XpcConnection::makeWithEndpoint(Endpoint endpoint,
                                                               ConnectionLimits limits) {
  return makeConnection(Internal::Role::client, std::move(endpoint), limits);
}

void XpcConnection::setRemoteObjectInterface(std::shared_ptr<const InterfaceDescription> i) {
  std::lock_guard lock(internal_->mutex);
  internal_->remoteInterface = std::move(i);
}

void XpcConnection::setExportedInterface(std::shared_ptr<const InterfaceDescription> i) {
  std::lock_guard lock(internal_->mutex);
  internal_->exportedInterface = std::move(i);
}

void XpcConnection::setExportedObject(std::shared_ptr<ExportedObject> object) {
  std::lock_guard lock(internal_->mutex);
  if (!internal_->invalidated) internal_->exportedObject = std::move(object);
}

void XpcConnection::setInvalidationHandler(Handler handler) {
  std::lock_guard lock(internal_->mutex);
  if (!internal_->invalidated || !handler) internal_->invalidationHandler = std::move(handler);
}

void XpcConnection::setInterruptionHandler(Handler handler) {
  std::lock_guard lock(internal_->mutex);
  if (!internal_->invalidated || !handler) internal_->interruptionHandler = std::move(handler);
}

void XpcConnection::setCodeSigningRequirement(const std::string& requirementText) {
  security::Requirement compiled = compileRequirement(requirementText);
  std::lock_guard lock(internal_->mutex);
  internal_->requirement = std::move(compiled);
}

void XpcConnection::activate() {
  {
    std::lock_guard lock(internal_->mutex);
    if (internal_->activated || internal_->invalidated) return;
    internal_->activated = true;
    // Like the platform's connections, an active connection lives until it is invalidated.
    internal_->keepAlive = shared_from_this();
  }
  asio::post(internal_->strand, [weak = internal_->self] {
    if (auto self = weak.lock()) self->internal_->start();
  });
}

void XpcConnection::invalidate() {
  {
    std::lock_guard lock(internal_->mutex);
    if (internal_->invalidated) return;
    internal_->invalidated = true;
    if (!internal_->terminalError) {
      internal_->terminalError = invalidError("connection invalidated");
    }
  }
  // Keeps the connection alive until its teardown has run.
  asio::post(internal_->strand, [self = shared_from_this()] { self->internal_->teardown({}); });
}

bool XpcConnection::isInvalidated() const {
  std::lock_guard lock(internal_->mutex);
  return internal_->invalidated;
}

RemoteProxy XpcConnection::remoteObjectProxyWithErrorHandler(ProxyErrorHandler errorHandler) {
  return RemoteProxy(internal_->self, std::move(errorHandler));
}

std::optional<PeerCredentials> XpcConnection::peerCredentials() const {
  std::lock_guard lock(internal_->mutex);
  return internal_->peer;
}

int32_t XpcConnection::auditSessionIdentifier() const {
  auto peer = peerCredentials();
  return peer ? peer->auditSessionIdentifier : 0;
}
int32_t XpcConnection::processIdentifier() const {
  auto peer = peerCredentials();
  return peer ? peer->pid : 0;
}
uint32_t XpcConnection::effectiveUserIdentifier() const {
  auto peer = peerCredentials();
  return peer ? peer->uid : 0;
}
uint32_t XpcConnection::effectiveGroupIdentifier() const {
  auto peer = peerCredentials();
  return peer ? peer->gid : 0;
}

asio::any_io_executor XpcConnection::executor() const { return internal_->strand; }

std::shared_ptr<XpcConnection> XpcConnection::current() { return tCurrent.lock(); }

void XpcConnection::dropNextRepliesForTesting(int count) {
  std::lock_guard lock(internal_->mutex);
  internal_->dropReplies = count;
}

void XpcConnection::duplicateNextRepliesForTesting(int count) {
  std::lock_guard lock(internal_->mutex);
  internal_->duplicateReplies = count;
}

void XpcConnection::killPeerForTesting() {
  asio::post(internal_->strand, [self = shared_from_this()] {
    if (self->internal_->socket) ::shutdown(self->internal_->socket->native_handle(), SHUT_RDWR);
  });
}

// ---------------------------------------------------------------------------------------------
// RemoteProxy

RemoteProxy::RemoteProxy(std::weak_ptr<XpcConnection> connection, ProxyErrorHandler errorHandler)
    : connection_(std::move(connection)),
      errorHandler_(std::make_shared<const ProxyErrorHandler>(std::move(errorHandler))) {}

void RemoteProxy::call(std::string_view selector, std::vector<Value> arguments,
                       ReplyBlock reply) const {
  auto connection = connection_.lock();
  if (!connection) {
    // The connection is gone: the message cannot be sent.
    if (errorHandler_ && *errorHandler_) (*errorHandler_)(invalidError("connection released"));
    return;
  }
  auto& internal = connection->internal();
  std::shared_ptr<const InterfaceDescription> interface;
  {
    std::lock_guard lock(internal.mutex);
    interface = internal.remoteInterface;
  }
  if (!interface) throw ProxyUsageError("the connection has no remote object interface");
  const MethodDescription* method = interface->find(selector);
  if (!method) {
    throw ProxyUsageError("selector " + std::string(selector) + " is not part of " +
                          interface->name());
  }
  if (auto mismatch = checkArguments(method->arguments, arguments)) {
    throw ProxyUsageError(std::string(selector) + ": " + *mismatch);
  }
  asio::post(internal.strand, [connection, interface, method, arguments = std::move(arguments),
                               reply = std::move(reply), handler = errorHandler_]() mutable {
    connection->internal().sendCall(method, std::move(arguments), std::move(reply),
                                    std::move(handler));
  });
}

// ---------------------------------------------------------------------------------------------
// Internal: strand side

XpcConnection::Internal::Internal(Role r, Recipe rc, ConnectionLimits l)
    : role(r),
      recipe(std::move(rc)),
      limits(l),
      strand(asio::make_strand(dispatch::globalExecutor())) {}

void XpcConnection::Internal::adoptServerSocket(UniqueFd fd, std::function<void(bool)> done) {
  asio::post(strand, [this, keep = self.lock(), raw = fd.release(), done = std::move(done)] {
    UniqueFd owned(raw);
    onHandshake = done;
    attach(std::move(owned));
    link = Link::awaitingHello;
    timer = std::make_unique<asio::steady_timer>(strand, limits.handshakeTimeout);
    timer->async_wait([weak = self, generation = linkGeneration](const asio::error_code& ec) {
      auto keep = weak.lock();
      if (ec || !keep) return;
      auto& in = keep->internal();
      if (in.linkGeneration == generation && !in.helloReceived) {
        in.violation("no credentials within the handshake limit");
      }
    });
    armRead();
  });
}

void XpcConnection::Internal::start() {
  if (role == Role::server) {
    if (link == Link::closed) return;
    queueHello();
    processFrames();
    armRead();
    return;
  }
  connect();
}

void XpcConnection::Internal::connect() {
  if (link != Link::idle) return;
  {
    std::lock_guard lock(mutex);
    if (invalidated) return;
  }
  link = Link::connecting;
  ++linkGeneration;
  helloReceived = false;
  firstCredentials.reset();
  if (std::holds_alternative<Endpoint>(recipe)) {
    connectEndpoint(0);
  } else {
    connectNamed();
  }
}

void XpcConnection::Internal::connectNamed() {
  const auto& service = std::get<ServiceRecipe>(recipe);
  std::vector<std::filesystem::path> directories;
  if (service.privileged) {
    directories.push_back(systemServiceDirectory());
  } else {
    directories.push_back(userServiceDirectory());
    if (!service.userOnly) directories.push_back(systemServiceDirectory());
  }
  std::string why = "no such service: " + service.name;
  for (const auto& directory : directories) {
    auto path = servicePath(directory, service.name);
    if (!path) {
      why = "invalid service name: " + service.name;
      break;
    }
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) {
      why = std::string("socket: ") + std::strerror(errno);
      break;
    }
    prepareSocket(fd.get());
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path->c_str(), path->native().size());
    int rc;
    do {
      rc = ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address));
    } while (rc < 0 && errno == EINTR);
    if (rc == 0 || errno == EINPROGRESS) {
      attach(std::move(fd));
      link = Link::awaitingHello;
      queueHello();
      armRead();
      return;
    }
    if (errno == EAGAIN) {
      // The listener's backlog is full: try again shortly, within the handshake limit.
      why = "service busy: " + service.name;
    }
  }
  teardown(invalidError(why));
}

void XpcConnection::Internal::retryLater(int attempt, std::function<void(int)> retry) {
  auto delay = std::chrono::milliseconds(10);
  if (delay * attempt > limits.handshakeTimeout) {
    teardown(invalidError("listener busy"));
    return;
  }
  timer = std::make_unique<asio::steady_timer>(strand, delay);
  timer->async_wait([weak = self, retry, attempt](const asio::error_code& ec) {
    auto keep = weak.lock();
    if (ec || !keep) return;
    retry(attempt + 1);
  });
}

void XpcConnection::Internal::connectEndpoint(int attempt) {
  const auto& endpoint = std::get<Endpoint>(recipe);
  if (!endpoint.valid()) {
    teardown(invalidError("invalid endpoint"));
    return;
  }
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair) != 0) {
    teardown(invalidError(std::string("socketpair: ") + std::strerror(errno)));
    return;
  }
  UniqueFd mine(pair[0]);
  UniqueFd theirs(pair[1]);
  prepareSocket(mine.get());
  static const uint8_t kConnectByte = 'C';
  int error = 0;
  int fds[1] = {theirs.get()};
  ssize_t n = sendMessage(endpoint.rendezvous()->get(), {&kConnectByte, 1}, fds, false, error);
  if (n == 1) {
    theirs.reset();
    attach(std::move(mine));
    link = Link::awaitingHello;
    queueHello();
    armRead();
    return;
  }
  if (error == EAGAIN || error == ENOBUFS) {
    auto generation = linkGeneration;
    retryLater(attempt, [this, generation](int next) {
      if (linkGeneration == generation && link == Link::connecting) connectEndpoint(next);
    });
    return;
  }
  teardown(invalidError(std::string("listener unreachable: ") + std::strerror(error)));
}

void XpcConnection::Internal::attach(UniqueFd fd) {
  socket = std::make_unique<asio::posix::stream_descriptor>(strand, fd.release());
  reader = std::make_unique<FrameReader>(limits);
  readArmed = false;
  writeArmed = false;
}

void XpcConnection::Internal::queueHello() {
  Frame hello;
  hello.type = FrameType::hello;
  auto encoded = encodeFrame(hello, limits);
  Outgoing out{std::move(*encoded), 0, true, nullptr};
  // The hello goes before anything queued while connecting.
  outbox.push_front(std::move(out));
  flush();
}

void XpcConnection::Internal::queueFrame(const Frame& frame,
                                         std::shared_ptr<const ProxyErrorHandler> oneWay) {
  auto encoded = encodeFrame(frame, limits);
  if (!encoded) {
    logger().error("dropping a message that cannot be encoded: %{public}s",
                   encoded.error().c_str());
    return;
  }
  outbox.push_back(Outgoing{std::move(*encoded), 0, false, std::move(oneWay)});
  flush();
}

void XpcConnection::Internal::flush() {
  if (!socket || writeArmed) return;
  while (!outbox.empty()) {
    auto& front = outbox.front();
    // Only the hello may go out before the peer's hello has been accepted.
    if (link != Link::open && !front.credentials) return;
    if (link != Link::open && link != Link::awaitingHello) return;
    std::vector<int> fds;
    if (front.offset == 0) {
      for (const auto& fd : front.frame.fds) fds.push_back(fd->get());
    }
    int error = 0;
    std::span<const uint8_t> rest(front.frame.bytes.data() + front.offset,
                                  front.frame.bytes.size() - front.offset);
    ssize_t n = sendMessage(socket->native_handle(), rest, fds, front.credentials, error);
    if (n < 0) {
      if (error == EAGAIN) {
        writeArmed = true;
        socket->async_wait(asio::posix::stream_descriptor::wait_write,
                           [weak = self, generation = linkGeneration](const asio::error_code& ec) {
                             auto keep = weak.lock();
                             if (!keep) return;
                             auto& in = keep->internal();
                             if (in.linkGeneration != generation) return;
                             in.writeArmed = false;
                             if (!ec) in.flush();
                           });
        return;
      }
      // The peer is gone; the read side reports the end of the link.
      linkLost();
      return;
    }
    front.offset += static_cast<size_t>(n);
    if (front.offset == front.frame.bytes.size()) outbox.pop_front();
  }
}

void XpcConnection::Internal::armRead() {
  if (!socket || readArmed) return;
  if (role == Role::server && helloReceived) {
    std::lock_guard lock(mutex);
    if (!activated) return;  // a suspended server connection reads nothing more
  }
  readArmed = true;
  socket->async_wait(asio::posix::stream_descriptor::wait_read,
                     [weak = self, generation = linkGeneration](const asio::error_code& ec) {
                       auto keep = weak.lock();
                       if (!keep) return;
                       auto& in = keep->internal();
                       if (in.linkGeneration != generation) return;
                       in.readArmed = false;
                       if (ec) return;
                       in.readAvailable();
                     });
}

void XpcConnection::Internal::readAvailable() {
  // Kept between reads: a fresh zero-filled chunk per wake-up showed up on every round trip.
  if (readBuffer.empty()) readBuffer.resize(kReadChunk);
  for (int round = 0; round < 16 && socket; ++round) {
    auto received = receiveMessage(socket->native_handle(), readBuffer, limits.maxDescriptors);
    if (received.truncated) {
      violation("descriptors or credentials truncated");
      return;
    }
    if (received.size < 0) {
      if (received.error == EAGAIN) break;
      linkLost();
      return;
    }
    if (received.size == 0) {
      linkLost();
      return;
    }
    if (!firstCredentials && received.credentials) firstCredentials = received.credentials;
    reader->push({readBuffer.data(), static_cast<size_t>(received.size)});
    for (auto& fd : received.fds) reader->pushDescriptor(std::move(fd));
  }
  auto generation = linkGeneration;
  processFrames();
  if (linkGeneration == generation) armRead();
}

void XpcConnection::Internal::processFrames() {
  auto generation = linkGeneration;
  while (reader && linkGeneration == generation && link != Link::closed) {
    if (role == Role::server && helloReceived) {
      std::lock_guard lock(mutex);
      if (!activated) return;  // delivered after activation, in order
    }
    auto next = reader->next();
    if (!next) {
      violation(next.error());
      return;
    }
    if (!*next) return;
    handleFrame(std::move(**next));
  }
}

void XpcConnection::Internal::handleFrame(Frame frame) {
  if (!helloReceived) {
    if (frame.type != FrameType::hello) {
      violation("first frame is not a hello");
      return;
    }
    handleHello();
    return;
  }
  switch (frame.type) {
    case FrameType::hello:
      violation("second hello");
      return;
    case FrameType::call:
      handleCall(std::move(frame));
      return;
    case FrameType::reply:
    case FrameType::replyDropped:
      handleReply(std::move(frame));
      return;
  }
}

void XpcConnection::Internal::handleHello() {
  if (!firstCredentials) {
    violation("hello without credentials");
    return;
  }
  helloReceived = true;
  if (timer) timer->cancel();
  PeerCredentials peer;
  peer.pid = firstCredentials->pid;
  peer.uid = firstCredentials->uid;
  peer.gid = firstCredentials->gid;
  peer.auditSessionIdentifier = processAuditSession(peer.pid);
  peer.guest = security::guestIdentityOfProcess(peer.pid);
  if (peer.guest && (peer.guest->uid != peer.uid)) peer.guest.reset();
  std::optional<security::Requirement> requirementCopy;
  {
    std::lock_guard lock(mutex);
    this->peer = peer;
    requirementCopy = requirement;
  }
  if (role == Role::server) {
    // Replies may flow once activated; the server's own hello goes first (start()).
    link = Link::open;
    if (auto done = std::exchange(onHandshake, nullptr)) done(true);
    return;
  }
  const auto* service = std::get_if<ServiceRecipe>(&recipe);
  if (service && service->requireRootServer && peer.uid != 0) {
    teardown(invalidError("privileged service not run by root"));
    return;
  }
  if (requirementCopy) {
    auto result = security::checkGuestValidity(peer.guestIdentity(), *requirementCopy);
    if (!result.ok()) {
      logger().error("server process %d does not satisfy the code signing requirement: %{public}s",
                     static_cast<int64_t>(peer.pid), result.message.c_str());
      teardown(xpcError(kErrorCodeSigningRequirementFailure,
                        "the server does not satisfy the code signing requirement"));
      return;
    }
  }
  link = Link::open;
  flush();
}

void XpcConnection::Internal::handleCall(Frame frame) {
  std::shared_ptr<const InterfaceDescription> interface;
  std::shared_ptr<ExportedObject> object;
  {
    std::lock_guard lock(mutex);
    interface = exportedInterface;
    object = exportedObject;
  }
  if (!interface || !object) {
    violation("a call arrived for a connection that exports nothing");
    return;
  }
  const MethodDescription* method = interface->find(frame.selector);
  if (!method) {
    violation("unknown selector " + frame.selector);
    return;
  }
  if (auto mismatch = checkArguments(method->arguments, frame.values)) {
    violation(frame.selector + ": " + *mismatch);
    return;
  }
  if (frame.wantsReply != method->reply.has_value()) {
    violation(frame.selector + ": reply expectation differs");
    return;
  }
  Reply reply;
  if (frame.wantsReply) {
    reply = Reply([weak = self, id = frame.id](std::optional<std::vector<Value>> values) {
      auto keep = weak.lock();
      if (!keep) return;
      asio::dispatch(keep->internal().strand, [keep, id, values = std::move(values)]() mutable {
        keep->internal().sendReply(id, std::move(values));
      });
    });
  }
  auto previous = std::exchange(tCurrent, self);
  try {
    object->invoke(*method, std::move(frame.values), std::move(reply));
  } catch (const std::exception& e) {
    logger().error("exported object failed on %{public}s: %{public}s", frame.selector.c_str(),
                   e.what());
  } catch (...) {
    logger().error("exported object failed on %{public}s", frame.selector.c_str());
  }
  tCurrent = previous;
}

void XpcConnection::Internal::sendReply(uint64_t id, std::optional<std::vector<Value>> values) {
  if (link != Link::open) return;  // the connection has ended; the caller was told
  int copies = 1;
  {
    std::lock_guard lock(mutex);
    if (dropReplies > 0) {
      --dropReplies;
      copies = 0;
    } else if (duplicateReplies > 0) {
      --duplicateReplies;
      copies = 2;
    }
  }
  Frame frame;
  frame.id = id;
  if (values) {
    frame.type = FrameType::reply;
    frame.values = std::move(*values);
  } else {
    frame.type = FrameType::replyDropped;
  }
  auto encoded = encodeFrame(frame, limits);
  if (!encoded) {
    logger().error("reply cannot be encoded: %{public}s", encoded.error().c_str());
    frame = Frame{FrameType::replyDropped, id, {}, false, {}};
    encoded = encodeFrame(frame, limits);
  }
  for (int i = 0; i < copies; ++i) outbox.push_back(Outgoing{*encoded, 0, false, nullptr});
  flush();
}

void XpcConnection::Internal::handleReply(Frame frame) {
  auto it = pending.find(frame.id);
  if (it == pending.end()) {
    logger().debug("ignoring a reply to message %lu, which has no pending call",
                   static_cast<uint64_t>(frame.id));
    return;
  }
  PendingCall call = std::move(it->second);
  pending.erase(it);
  if (frame.type == FrameType::replyDropped) {
    (*call.errorHandler)(xpcError(kErrorConnectionReplyInvalid, "reply block dropped by the peer"));
    return;
  }
  if (auto mismatch = checkArguments(call.replyTypes, frame.values)) {
    (*call.errorHandler)(xpcError(kErrorConnectionReplyInvalid, "reply: " + *mismatch));
    return;
  }
  if (call.reply) call.reply(std::move(frame.values));
}

void XpcConnection::Internal::sendCall(const MethodDescription* method,
                                       std::vector<Value> arguments, ReplyBlock reply,
                                       std::shared_ptr<const ProxyErrorHandler> errorHandler) {
  std::optional<foundation::ErrorRecord> failure;
  {
    std::lock_guard lock(mutex);
    if (invalidated || terminalError) failure = terminalError.value_or(invalidError("invalid"));
    if (!activated && !failure) failure = invalidError("connection not activated");
  }
  if (!failure && pending.size() >= limits.maxPendingCalls) {
    failure = invalidError("too many messages awaiting a reply");
  }
  if (failure) {
    if (errorHandler && *errorHandler) (*errorHandler)(*failure);
    return;
  }
  Frame frame;
  frame.type = FrameType::call;
  frame.id = nextId++;
  frame.selector = method->selector;
  frame.wantsReply = method->reply.has_value();
  frame.values = std::move(arguments);
  auto encoded = encodeFrame(frame, limits);
  if (!encoded) {
    if (errorHandler && *errorHandler) (*errorHandler)(invalidError(encoded.error()));
    return;
  }
  if (frame.wantsReply) {
    pending.emplace(frame.id, PendingCall{*method->reply, std::move(reply), errorHandler});
    outbox.push_back(Outgoing{std::move(*encoded), 0, false, nullptr});
  } else {
    outbox.push_back(Outgoing{std::move(*encoded), 0, false, errorHandler});
  }
  if (link == Link::idle) {
    connect();  // first message after an interruption
  } else {
    flush();
  }
}

void XpcConnection::Internal::linkLost() {
  if (link == Link::closed || link == Link::idle) return;
  bool established = helloReceived;
  bool reconnectable = role == Role::client && std::holds_alternative<ServiceRecipe>(recipe);
  if (!established && role == Role::server && onHandshake) {
    teardown(invalidError("client left during the handshake"));
    return;
  }
  if (!established || !reconnectable) {
    teardown(invalidError(established ? "peer went away" : "connection refused"));
    return;
  }
  // A named service went away: interrupted. The next message connects again.
  closeSocket();
  link = Link::idle;
  Handler handler;
  {
    std::lock_guard lock(mutex);
    handler = interruptionHandler;
  }
  if (handler) handler();
  failPending(xpcError(kErrorConnectionInterrupted, "connection interrupted"));
}

void XpcConnection::Internal::violation(const std::string& reason) {
  logger().error("dropping connection after a protocol violation: %{public}s", reason.c_str());
  teardown(invalidError("protocol violation: " + reason));
}

void XpcConnection::Internal::failPending(const foundation::ErrorRecord& error) {
  auto calls = std::move(pending);
  pending.clear();
  auto unsent = std::move(outbox);
  outbox.clear();
  for (auto& [id, call] : calls) {
    if (call.errorHandler && *call.errorHandler) (*call.errorHandler)(error);
  }
  for (auto& out : unsent) {
    if (out.oneWayErrorHandler && *out.oneWayErrorHandler) (*out.oneWayErrorHandler)(error);
  }
}

void XpcConnection::Internal::closeSocket() {
  ++linkGeneration;
  if (timer) timer->cancel();
  if (socket) {
    asio::error_code ignored;
    socket->close(ignored);
    socket.reset();
  }
  reader.reset();
  readArmed = writeArmed = false;
  helloReceived = false;
}

void XpcConnection::Internal::teardown(std::optional<foundation::ErrorRecord> cause) {
  Handler handler;
  foundation::ErrorRecord error;
  std::shared_ptr<ExportedObject> released;
  // Every caller holds its own reference, so releasing this one here is safe.
  std::shared_ptr<XpcConnection> releasedSelf;
  {
    std::lock_guard lock(mutex);
    releasedSelf = std::move(keepAlive);
    invalidated = true;
    if (!terminalError) terminalError = cause.value_or(invalidError("connection invalidated"));
    error = cause.value_or(*terminalError);
    handler = std::move(invalidationHandler);
    invalidationHandler = nullptr;
    interruptionHandler = nullptr;
    released = std::move(exportedObject);
    exportedObject = nullptr;
  }
  bool wasClosed = link == Link::closed;
  closeSocket();
  link = Link::closed;
  if (auto done = std::exchange(onHandshake, nullptr)) done(false);
  if (handler && !wasClosed) handler();
  failPending(error);
}

}  // namespace brellis::platform::xpc
