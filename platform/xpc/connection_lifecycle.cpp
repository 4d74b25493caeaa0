#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <asio/post.hpp>
#include <cerrno>
#include <cstring>

#include "platform/dispatch/main_loop.h"
#include "platform/security/code_signing.h"
#include "platform/transport/socket_io.h"
#include "platform/xpc/service_directory.h"
#include "platform/xpc/xpc_connection_internal.h"
#include "platform/xpc/xpc_error.h"

// The life of a connection: connecting (named service or endpoint), the handshake of
// credentials, interruption of a named service and invalidation. All on the strand.
namespace brellis::platform::xpc {

XpcConnection::Internal::Internal(Role r, Recipe rc, ConnectionLimits l)
    : role(r),
      recipe(std::move(rc)),
      limits(l),
      strand(asio::make_strand(dispatch::socketExecutor())) {}

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
    transport::prepareSocket(fd.get());
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
      // The listener's backlog is full. A named service is not retried: the next directory is
      // tried, else the connection fails with this reason.
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
  transport::prepareSocket(mine.get());
  static const uint8_t kConnectByte = 'C';
  int error = 0;
  int fds[1] = {theirs.get()};
  ssize_t n =
      transport::sendMessage(endpoint.rendezvous()->get(), {&kConnectByte, 1}, fds, false, error);
  if (n == 1) {
    theirs.reset();
    attach(std::move(mine));
    link = Link::awaitingHello;
    queueHello();
    armRead();
    return;
  }
  if (error == EAGAIN || error == ENOBUFS) {
    // The anonymous listener's rendezvous queue is full: tried again every 10 ms until the
    // handshake limit has passed, then the connection fails with "listener busy".
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
  std::lock_guard lock(sendMutex);
  sendFd = socket->native_handle();
  sendGeneration = linkGeneration;
  gate = SendGate::helloOnly;
  writeArmed = false;
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
    openGate();
    if (auto done = std::exchange(onHandshake, nullptr)) done(true);
    return;
  }
  const auto* service = std::get_if<ServiceRecipe>(&recipe);
  if (service && service->requireRootServer && peer.uid != 0) {
    teardown(invalidError("privileged service not run by root"));
    return;
  }
  if (requirementCopy) {
    // The check reads and hashes the server's executable: done on the pool, not on the socket
    // thread, which every connection of the process shares. Nothing is sent or dispatched
    // meanwhile (the gate lets only the hello out; processFrames waits while verifying).
    link = Link::verifying;
    asio::post(dispatch::globalExecutor(), [weak = self, generation = linkGeneration,
                                            identity = peer.guestIdentity(), pid = peer.pid,
                                            requirement = std::move(*requirementCopy)] {
      auto result = security::checkGuestValidity(identity, requirement);
      auto keep = weak.lock();
      if (!keep) return;
      asio::post(keep->internal().strand, [keep, generation, pid, result = std::move(result)] {
        auto& in = keep->internal();
        if (in.linkGeneration == generation && in.link == Link::verifying) {
          in.serverVerified(result, pid);
        }
      });
    });
    return;
  }
  link = Link::open;
  openGate();
}

void XpcConnection::Internal::serverVerified(const security::ValidityResult& result, pid_t pid) {
  if (!result.ok()) {
    connectionLogger().error(
        "server process %d does not satisfy the code signing requirement: %{public}s",
        static_cast<int64_t>(pid), result.message.c_str());
    teardown(xpcError(kErrorCodeSigningRequirementFailure,
                      "the server does not satisfy the code signing requirement"));
    return;
  }
  link = Link::open;
  openGate();
  // What arrived while verifying (the server's calls to an exported object) is handled now.
  auto generation = linkGeneration;
  processFrames();
  if (linkGeneration == generation) armRead();
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
  connectionLogger().error("dropping connection after a protocol violation: %{public}s",
                           reason.c_str());
  teardown(invalidError("protocol violation: " + reason));
}

void XpcConnection::Internal::closeSocket() {
  ++linkGeneration;
  if (timer) timer->cancel();
  {
    // A sender on another thread holds sendMutex while it writes: once the gate is closed here,
    // nobody writes to the descriptor any more and it can be closed.
    std::lock_guard lock(sendMutex);
    gate = SendGate::closed;
    sendFd = -1;
    writeArmed = false;
  }
  if (socket) {
    asio::error_code ignored;
    socket->close(ignored);
    socket.reset();
  }
  reader.reset();
  readArmed = false;
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
  {
    std::lock_guard lock(sendMutex);
    ended = true;
  }
  if (auto done = std::exchange(onHandshake, nullptr)) done(false);
  if (handler && !wasClosed) handler();
  failPending(error);
}

}  // namespace brellis::platform::xpc
