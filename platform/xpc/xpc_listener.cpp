#include "platform/xpc/xpc_listener.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <asio/strand.hpp>
#include <cerrno>
#include <cstring>
#include <future>
#include <mutex>
#include <set>

#include "platform/dispatch/main_loop.h"
#include "platform/foundation/state_root.h"
#include "platform/os_log/logger.h"
#include "platform/security/code_signing.h"
#include "platform/transport/socket_io.h"
#include "platform/xpc/service_directory.h"
#include "platform/xpc/xpc_connection_internal.h"
#include "platform/xpc/xpc_error.h"

namespace brellis::platform::xpc {
namespace {

const os_log::Logger& logger() {
  static const os_log::Logger instance("com.brellis.platform.xpc", "XpcListener");
  return instance;
}

}  // namespace

struct XpcListener::Internal {
  Internal(std::optional<std::string> n, uint64_t o, ConnectionLimits l)
      : name(std::move(n)),
        options(o),
        limits(l),
        strand(asio::make_strand(dispatch::globalExecutor())) {}

  const std::optional<std::string> name;  // absent: anonymous
  const uint64_t options;
  const ConnectionLimits limits;
  asio::strand<asio::any_io_executor> strand;
  std::weak_ptr<XpcListener> self;

  mutable std::mutex mutex;
  ShouldAccept delegate;
  std::optional<security::Requirement> requirement;
  bool activated = false;
  bool invalidated = false;
  std::optional<std::string> failure;
  Endpoint endpoint;  // anonymous only
  std::optional<std::filesystem::path> path;

  // Strand only.
  std::unique_ptr<asio::posix::stream_descriptor> socket;  // listening socket or rendezvous
  std::optional<std::pair<dev_t, ino_t>> boundInode;
  std::set<std::shared_ptr<XpcConnection>> handshaking;

  void start();
  bool bindNamed(std::string& why);
  void armAccept();
  void acceptAvailable();
  void adopt(UniqueFd fd);
  void handshakeDone(const std::shared_ptr<XpcConnection>& connection, bool ok);
  void stop();
};

XpcListener::XpcListener(std::unique_ptr<Internal> internal) : internal_(std::move(internal)) {}

XpcListener::~XpcListener() {
  // Handlers hold the listener weakly, so none runs any more; close what is left here.
  internal_->stop();
}

std::shared_ptr<XpcListener> XpcListener::makeWithMachServiceName(std::string name,
                                                                  uint64_t options,
                                                                  ConnectionLimits limits) {
  auto listener =
      std::make_shared<XpcListener>(std::make_unique<Internal>(std::move(name), options, limits));
  listener->internal_->self = listener;
  return listener;
}

std::shared_ptr<XpcListener> XpcListener::makeAnonymous(ConnectionLimits limits) {
  auto listener =
      std::make_shared<XpcListener>(std::make_unique<Internal>(std::nullopt, 0, limits));
  auto& in = *listener->internal_;
  in.self = listener;
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair) == 0) {
    in.socket = std::make_unique<asio::posix::stream_descriptor>(in.strand, pair[0]);
    in.endpoint = Endpoint(makeSharedFd(UniqueFd(pair[1])));
  } else {
    in.failure = std::string("socketpair: ") + std::strerror(errno);
  }
  return listener;
}

Endpoint XpcListener::endpoint() const {
  std::lock_guard lock(internal_->mutex);
  return internal_->endpoint;
}

std::optional<std::filesystem::path> XpcListener::socketPath() const {
  std::lock_guard lock(internal_->mutex);
  if (internal_->path) return internal_->path;
  if (!internal_->name) return std::nullopt;
  bool privileged = (internal_->options & kConnectionPrivileged) != 0;
  return servicePath(privileged ? systemServiceDirectory() : userServiceDirectory(),
                     *internal_->name);
}

void XpcListener::setDelegate(ShouldAccept shouldAccept) {
  std::lock_guard lock(internal_->mutex);
  internal_->delegate = std::move(shouldAccept);
}

void XpcListener::setConnectionCodeSigningRequirement(const std::string& requirementText) {
  security::Requirement compiled = compileRequirement(requirementText);
  std::lock_guard lock(internal_->mutex);
  internal_->requirement = std::move(compiled);
}

void XpcListener::activate() {
  {
    std::lock_guard lock(internal_->mutex);
    if (internal_->activated || internal_->invalidated) return;
    internal_->activated = true;
  }
  // Binding happens before activate() returns, so a client started right after finds the name.
  // Nothing else touches the socket before activation, so this may run off the strand.
  internal_->start();
}

void XpcListener::invalidate() {
  {
    std::lock_guard lock(internal_->mutex);
    if (internal_->invalidated) return;
    internal_->invalidated = true;
    internal_->endpoint = Endpoint();
  }
  asio::post(internal_->strand, [self = shared_from_this()] { self->internal_->stop(); });
}

std::optional<std::string> XpcListener::activationFailure() const {
  std::lock_guard lock(internal_->mutex);
  return internal_->failure;
}

asio::any_io_executor XpcListener::executor() const { return internal_->strand; }

// ---------------------------------------------------------------------------------------------

void XpcListener::Internal::start() {
  {
    std::lock_guard lock(mutex);
    if (invalidated || failure) return;
  }
  if (name) {
    std::string why;
    if (!bindNamed(why)) {
      logger().error("cannot serve %{public}s: %{public}s", name->c_str(), why.c_str());
      std::lock_guard lock(mutex);
      failure = why;
      return;
    }
  }
  armAccept();
}

bool XpcListener::Internal::bindNamed(std::string& why) {
  bool privileged = (options & kConnectionPrivileged) != 0;
  if (privileged && !foundation::stateRoot() && ::geteuid() != 0) {
    why = "the system service directory is served by root only";
    return false;
  }
  if (auto invalid = invalidServiceName(*name)) {
    why = *invalid;
    return false;
  }
  auto directory = privileged ? systemServiceDirectory() : userServiceDirectory();
  if (!foundation::ensureDirectory(directory)) {
    why = "cannot create " + directory.string();
    return false;
  }
  if (!privileged) ::chmod(directory.c_str(), 0700);
  auto socketPath = servicePath(directory, *name);
  if (!socketPath) {
    why = "socket path too long";
    return false;
  }
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) {
    why = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  int one = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_PASSCRED, &one, sizeof(one));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, socketPath->c_str(), socketPath->native().size());

  struct stat st {};
  if (::lstat(socketPath->c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      why = socketPath->string() + " exists and is not a socket";
      return false;
    }
    // A socket is left over: remove it only when nobody answers on it.
    UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (::connect(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 ||
        errno == EAGAIN) {
      why = "service " + *name + " is served by another listener";
      return false;
    }
    ::unlink(socketPath->c_str());
  }
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    why = std::string("bind: ") + std::strerror(errno);
    return false;
  }
  // Anyone may connect; clients are vetted by their credentials and code signature.
  ::chmod(socketPath->c_str(), 0666);
  if (::listen(fd.get(), 128) != 0) {
    why = std::string("listen: ") + std::strerror(errno);
    ::unlink(socketPath->c_str());
    return false;
  }
  if (::lstat(socketPath->c_str(), &st) == 0) boundInode = std::make_pair(st.st_dev, st.st_ino);
  {
    std::lock_guard lock(mutex);
    path = socketPath;
  }
  socket = std::make_unique<asio::posix::stream_descriptor>(strand, fd.release());
  return true;
}

void XpcListener::Internal::armAccept() {
  if (!socket) return;
  socket->async_wait(asio::posix::stream_descriptor::wait_read,
                     [weak = self](const asio::error_code& ec) {
                       auto keep = weak.lock();
                       if (ec || !keep) return;
                       keep->internal_->acceptAvailable();
                     });
}

void XpcListener::Internal::acceptAvailable() {
  if (!socket) return;
  for (int round = 0; round < 64; ++round) {
    if (name) {
      int fd = ::accept4(socket->native_handle(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd < 0) break;
      adopt(UniqueFd(fd));
      continue;
    }
    // Anonymous: each message carries one end of a client's socket pair.
    uint8_t byte[16];
    auto received = transport::receiveMessage(socket->native_handle(), byte, 1);
    if (received.size < 0) break;
    if (received.truncated || received.fds.size() != 1 || received.size != 1) continue;
    int type = 0, domain = 0;
    socklen_t length = sizeof(type);
    int fd = received.fds.front().get();
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM) {
      continue;
    }
    length = sizeof(domain);
    if (::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) != 0 || domain != AF_UNIX) {
      continue;
    }
    adopt(std::move(received.fds.front()));
  }
  armAccept();
}

void XpcListener::Internal::adopt(UniqueFd fd) {
  if (!transport::prepareSocket(fd.get())) return;
  auto connection = std::make_shared<XpcConnection>(std::make_unique<XpcConnection::Internal>(
      XpcConnection::Internal::Role::server, std::monostate{}, limits));
  connection->internal().self = connection;
  handshaking.insert(connection);
  connection->internal().adoptServerSocket(
      std::move(fd), [weak = self, weakConnection = std::weak_ptr(connection)](bool ok) {
        auto listener = weak.lock();
        auto connection = weakConnection.lock();
        if (!connection) return;
        if (!listener) {
          connection->invalidate();
          return;
        }
        asio::post(listener->internal_->strand, [listener, connection, ok] {
          listener->internal_->handshakeDone(connection, ok);
        });
      });
}

void XpcListener::Internal::handshakeDone(const std::shared_ptr<XpcConnection>& connection,
                                          bool ok) {
  handshaking.erase(connection);
  ShouldAccept shouldAccept;
  std::optional<security::Requirement> required;
  {
    std::lock_guard lock(mutex);
    if (invalidated) ok = false;
    shouldAccept = delegate;
    required = requirement;
  }
  if (!ok) {
    connection->invalidate();
    return;
  }
  if (required) {
    auto peer = connection->peerCredentials();
    auto result = security::checkGuestValidity(peer->guestIdentity(), *required);
    if (!result.ok()) {
      // The platform's own refusal: the client never reaches the delegate.
      logger().error("refused process %d: %{public}s", static_cast<int64_t>(peer->pid),
                     result.message.c_str());
      connection->invalidate();
      return;
    }
  }
  if (!shouldAccept || !shouldAccept(connection)) connection->invalidate();
}

void XpcListener::Internal::stop() {
  if (socket) {
    asio::error_code ignored;
    socket->close(ignored);
    socket.reset();
  }
  std::optional<std::filesystem::path> boundPath;
  {
    std::lock_guard lock(mutex);
    invalidated = true;
    endpoint = Endpoint();
    boundPath = path;
  }
  if (boundPath && boundInode) {
    struct stat st {};
    if (::lstat(boundPath->c_str(), &st) == 0 && st.st_dev == boundInode->first &&
        st.st_ino == boundInode->second) {
      ::unlink(boundPath->c_str());
    }
    boundInode.reset();
  }
  for (const auto& connection : handshaking) connection->invalidate();
  handshaking.clear();
}

}  // namespace brellis::platform::xpc
