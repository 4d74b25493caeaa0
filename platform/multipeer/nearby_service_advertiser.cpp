#include "platform/multipeer/nearby_service_advertiser.h"

#include <sys/random.h>
#include <sys/un.h>
#include <unistd.h>

#include <asio/local/stream_protocol.hpp>
#include <asio/post.hpp>
#include <asio/strand.hpp>
#include <filesystem>

#include "platform/dispatch/main_loop.h"
#include "platform/foundation/hex.h"
#include "platform/foundation/state_root.h"
#include "platform/multipeer/link.h"
#include "platform/multipeer/peer_descriptor.h"
#include "platform/multipeer/service_type.h"

namespace brellis::platform::multipeer {

namespace {

// Names the published files. Read straight from the kernel: this runs on a pool thread, which
// may still be busy while the process exits and the crypto library tears its state down.
std::optional<std::string> randomToken() {
  foundation::Bytes bytes(8);
  if (::getrandom(bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) {
    return std::nullopt;
  }
  return foundation::hexEncode(bytes);
}

// Removes descriptors (and their sockets) left behind by advertisers whose process has ended.
void removeStaleEntries(const std::filesystem::path& directory) {
  std::error_code ec;
  for (std::filesystem::directory_iterator it(directory, ec), end; !ec && it != end;
       it.increment(ec)) {
    const auto& path = it->path();
    if (path.extension() != ".peer") continue;
    auto descriptor = readPeerDescriptor(path);
    if (!descriptor || descriptor->token != path.stem().string() ||
        isProcessAlive(descriptor->pid)) {
      continue;
    }
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    std::filesystem::remove(directory / (descriptor->token + ".sock"), ignored);
  }
}

}  // namespace

// The advertiser's state, its listening socket and its accept loop, on its own strand.
struct NearbyServiceAdvertiser::Core : std::enable_shared_from_this<Core> {
  using Protocol = asio::local::stream_protocol;

  Core(PeerID peer, std::string type, LinkOptions linkOptions)
      : myPeer(std::move(peer)),
        serviceType(std::move(type)),
        options(linkOptions),
        strand(asio::make_strand(dispatch::globalExecutor())),
        acceptor(strand),
        queue("multipeer.advertiser") {}

  std::weak_ptr<NearbyServiceAdvertiser> owner;
  const PeerID myPeer;
  const std::string serviceType;
  const LinkOptions options;
  asio::strand<asio::any_io_executor> strand;
  Protocol::acceptor acceptor;
  dispatch::SerialQueue queue;

  mutable std::mutex mutex;
  std::weak_ptr<NearbyServiceAdvertiserDelegate> delegate;
  // The published files, so that they can be removed from any thread.
  std::filesystem::path descriptorPath;
  std::filesystem::path socketPath;

  // Strand only.
  bool advertising = false;

  std::shared_ptr<NearbyServiceAdvertiserDelegate> currentDelegate() const {
    std::lock_guard lock(mutex);
    return delegate.lock();
  }

  void reportFailure(ErrorCode code) {
    std::weak_ptr<Core> weakSelf = weak_from_this();
    queue.async([weakSelf, code] {
      auto self = weakSelf.lock();
      if (!self) return;
      auto advertiser = self->owner.lock();
      auto target = self->currentDelegate();
      if (advertiser && target) target->didNotStartAdvertisingPeer(advertiser, makeError(code));
    });
  }

  // The discovery directory is resolved on the caller's thread, so that the state root in force
  // at the call is the one used.
  void start() {
    if (!isValidServiceType(serviceType)) {
      reportFailure(ErrorCode::invalidParameter);
      return;
    }
    asio::post(strand, [self = shared_from_this(), directory = discoveryDirectory(serviceType)] {
      self->startOnStrand(directory);
    });
  }

  void startOnStrand(const std::filesystem::path& directory) {
    if (advertising) return;
    if (!foundation::ensureDirectory(directory)) {
      reportFailure(ErrorCode::unavailable);
      return;
    }
    removeStaleEntries(directory);
    auto randomName = randomToken();
    if (!randomName) {
      reportFailure(ErrorCode::unavailable);
      return;
    }
    const std::string& token = *randomName;
    auto socket = directory / (token + ".sock");
    if (socket.native().size() >= sizeof(sockaddr_un{}.sun_path)) {
      reportFailure(ErrorCode::unavailable);
      return;
    }
    asio::error_code ec;
    ::unlink(socket.c_str());
    acceptor.open(Protocol(), ec);
    if (!ec) acceptor.bind(Protocol::endpoint(socket.native()), ec);
    if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
    PeerDescriptor descriptor{myPeer.displayName(), myPeer.uniqueIdentity(),
                              static_cast<int32_t>(::getpid()), token};
    if (ec || !writePeerDescriptor(directory, descriptor)) {
      acceptor.close(ec);
      ::unlink(socket.c_str());
      reportFailure(ErrorCode::unavailable);
      return;
    }
    {
      std::lock_guard lock(mutex);
      descriptorPath = directory / (token + ".peer");
      socketPath = socket;
    }
    advertising = true;
    acceptNext();
  }

  // Unpublishes at once (from any thread); the listening socket is closed on the strand.
  void stop() {
    removeFiles();
    asio::post(strand, [self = shared_from_this()] {
      if (!self->advertising) return;
      self->advertising = false;
      asio::error_code ignored;
      self->acceptor.close(ignored);
    });
  }

  void removeFiles() {
    std::lock_guard lock(mutex);
    if (!descriptorPath.empty()) ::unlink(descriptorPath.c_str());
    if (!socketPath.empty()) ::unlink(socketPath.c_str());
    descriptorPath.clear();
    socketPath.clear();
  }

  void acceptNext() {
    acceptor.async_accept(
        [self = shared_from_this()](const asio::error_code& ec, Protocol::socket socket) {
          if (!self->advertising) return;
          if (!ec) self->handleConnection(Link::adopt(std::move(socket)));
          if (ec == asio::error::operation_aborted) return;
          self->acceptNext();
        });
  }

  // A new connection must open with a valid hello within the hello time-out.
  void handleConnection(const std::shared_ptr<Link>& link) {
    std::weak_ptr<Core> weakSelf = weak_from_this();
    std::weak_ptr<Link> weakLink = link;
    link->start(Link::Handlers{[weakSelf, weakLink](Frame frame) {
                                 auto link = weakLink.lock();
                                 if (!link) return;
                                 auto self = weakSelf.lock();
                                 std::optional<Hello> hello;
                                 if (frame.type == FrameType::hello) {
                                   if (auto decoded = decodeHello(frame.payload))
                                     hello = std::move(*decoded);
                                 }
                                 if (!self || !hello) {
                                   link->cut();
                                   return;
                                 }
                                 link->cancelTimer();
                                 // Until the invitation is answered, any further frame (the inviter
                                 // giving up, or talking out of turn) ends the connection.
                                 link->setHandlers(Link::Handlers{[weakLink](Frame) {
                                                                    if (auto link = weakLink.lock())
                                                                      link->cut();
                                                                  },
                                                                  nullptr});
                                 self->deliverInvitation(link, std::move(*hello));
                               },
                               nullptr});
    link->armTimer(options.helloTimeout, [weakLink] {
      if (auto link = weakLink.lock()) link->cut();
    });
  }

  void deliverInvitation(const std::shared_ptr<Link>& link, Hello hello) {
    PeerID peer(hello.displayName, hello.uniqueIdentity);
    auto preference = static_cast<EncryptionPreference>(hello.encryptionPreference);
    InvitationHandler handler(
        [link, peer, preference](bool accept, std::shared_ptr<Session> session) {
          if (accept && session && session->adoptAcceptedLink(link, peer, preference)) return;
          link->finish(Frame{FrameType::decline, {}});
        },
        {false, nullptr});
    std::weak_ptr<Core> weakSelf = weak_from_this();
    queue.async([weakSelf, peer, context = std::move(hello.context), handler]() mutable {
      auto self = weakSelf.lock();
      auto advertiser = self ? self->owner.lock() : nullptr;
      auto target = self ? self->currentDelegate() : nullptr;
      if (!advertiser || !target) {
        handler(false, nullptr);
        return;
      }
      target->didReceiveInvitationFromPeer(advertiser, peer, context, std::move(handler));
    });
  }
};

std::shared_ptr<NearbyServiceAdvertiser> NearbyServiceAdvertiser::create(PeerID myPeer,
                                                                         std::string serviceType,
                                                                         LinkOptions options) {
  std::shared_ptr<NearbyServiceAdvertiser> advertiser(
      new NearbyServiceAdvertiser(std::move(myPeer), std::move(serviceType), options));
  advertiser->core_->owner = advertiser;
  return advertiser;
}

NearbyServiceAdvertiser::NearbyServiceAdvertiser(PeerID myPeer, std::string serviceType,
                                                 LinkOptions options)
    : myPeer_(myPeer),
      serviceType_(serviceType),
      options_(options),
      core_(std::make_shared<Core>(std::move(myPeer), std::move(serviceType), options)) {}

NearbyServiceAdvertiser::~NearbyServiceAdvertiser() { core_->stop(); }

std::shared_ptr<NearbyServiceAdvertiserDelegate> NearbyServiceAdvertiser::delegate() const {
  return core_->currentDelegate();
}

void NearbyServiceAdvertiser::setDelegate(std::weak_ptr<NearbyServiceAdvertiserDelegate> delegate) {
  std::lock_guard lock(core_->mutex);
  core_->delegate = std::move(delegate);
}

void NearbyServiceAdvertiser::startAdvertisingPeer() { core_->start(); }

void NearbyServiceAdvertiser::stopAdvertisingPeer() { core_->stop(); }

}  // namespace brellis::platform::multipeer
