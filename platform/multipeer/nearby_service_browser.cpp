#include "platform/multipeer/nearby_service_browser.h"

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <cmath>
#include <filesystem>

#include "platform/dispatch/main_loop.h"
#include "platform/multipeer/peer_descriptor.h"
#include "platform/multipeer/service_type.h"

namespace brellis::platform::multipeer {

namespace {

// The longest invitation wait we arm a timer for; longer requests are clamped to it.
constexpr double kMaxInvitationSeconds = 24.0 * 60 * 60;

std::chrono::milliseconds invitationTimeout(double seconds, std::chrono::milliseconds fallback) {
  if (!(seconds > 0) || std::isnan(seconds)) return fallback;
  seconds = std::min(seconds, kMaxInvitationSeconds);
  return std::chrono::milliseconds(static_cast<int64_t>(std::ceil(seconds * 1000.0)));
}

}  // namespace

// The browser's state and its poll loop. Lives on its own strand; the public object only
// forwards to it, so that releasing the browser cannot race a running scan.
struct NearbyServiceBrowser::Core : std::enable_shared_from_this<Core> {
  struct Found {
    PeerID peer;
    std::filesystem::path socket;
    int32_t pid;
  };

  Core(PeerID peer, std::string type, LinkOptions linkOptions)
      : myPeer(std::move(peer)),
        serviceType(std::move(type)),
        options(linkOptions),
        strand(asio::make_strand(dispatch::globalExecutor())),
        timer(strand),
        queue("multipeer.browser") {}

  std::weak_ptr<NearbyServiceBrowser> owner;
  const PeerID myPeer;
  const std::string serviceType;
  const LinkOptions options;
  asio::strand<asio::any_io_executor> strand;
  asio::steady_timer timer;
  dispatch::SerialQueue queue;

  mutable std::mutex mutex;
  std::weak_ptr<NearbyServiceBrowserDelegate> delegate;
  std::map<std::string, Found> found;  // by descriptor token

  // Strand only.
  bool browsing = false;
  std::filesystem::path directory;
  uint64_t generation = 0;

  std::shared_ptr<NearbyServiceBrowserDelegate> currentDelegate() const {
    std::lock_guard lock(mutex);
    return delegate.lock();
  }

  template <class Event>
  void post(Event event) {
    std::weak_ptr<Core> weakSelf = weak_from_this();
    queue.async([weakSelf, event = std::move(event)] {
      auto self = weakSelf.lock();
      if (!self) return;
      auto browser = self->owner.lock();
      auto target = self->currentDelegate();
      if (browser && target) event(browser, *target);
    });
  }

  // The discovery directory is resolved on the caller's thread, so that the state root in force
  // at the call is the one used.
  void start() {
    std::filesystem::path resolved;
    if (isValidServiceType(serviceType)) resolved = discoveryDirectory(serviceType);
    asio::post(strand, [self = shared_from_this(), resolved] {
      if (self->browsing) return;
      self->directory = resolved;
      if (!isValidServiceType(self->serviceType)) {
        self->post([](const std::shared_ptr<NearbyServiceBrowser>& browser,
                      NearbyServiceBrowserDelegate& target) {
          target.didNotStartBrowsingForPeers(browser, makeError(ErrorCode::invalidParameter));
        });
        return;
      }
      self->browsing = true;
      ++self->generation;
      self->scan();
    });
  }

  void stop() {
    asio::post(strand, [self = shared_from_this()] {
      if (!self->browsing) return;
      self->browsing = false;
      ++self->generation;
      self->timer.cancel();
      std::lock_guard lock(self->mutex);
      self->found.clear();
    });
  }

  void scan() {
    std::map<std::string, Found> seen;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(directory, ec), end; !ec && it != end;
         it.increment(ec)) {
      const auto& path = it->path();
      if (path.extension() != ".peer") continue;
      auto descriptor = readPeerDescriptor(path);
      if (!descriptor || descriptor->token != path.stem().string()) continue;
      if (descriptor->uniqueIdentity == myPeer.uniqueIdentity()) continue;
      if (!isProcessAlive(descriptor->pid)) continue;
      seen.emplace(descriptor->token,
                   Found{PeerID(descriptor->displayName, descriptor->uniqueIdentity),
                         directory / (descriptor->token + ".sock"), descriptor->pid});
    }
    std::vector<PeerID> lost;
    std::vector<PeerID> appeared;
    {
      std::lock_guard lock(mutex);
      for (const auto& [token, entry] : found) {
        if (!seen.count(token)) lost.push_back(entry.peer);
      }
      for (const auto& [token, entry] : seen) {
        if (!found.count(token)) appeared.push_back(entry.peer);
      }
      found = std::move(seen);
    }
    for (const auto& peer : lost) {
      post([peer](const std::shared_ptr<NearbyServiceBrowser>& browser,
                  NearbyServiceBrowserDelegate& target) { target.lostPeer(browser, peer); });
    }
    for (const auto& peer : appeared) {
      post([peer](const std::shared_ptr<NearbyServiceBrowser>& browser,
                  NearbyServiceBrowserDelegate& target) { target.foundPeer(browser, peer); });
    }
    timer.expires_after(options.pollInterval);
    timer.async_wait(
        [self = shared_from_this(), generation = generation](const asio::error_code& error) {
          if (error || !self->browsing || generation != self->generation) return;
          self->scan();
        });
  }

  std::filesystem::path socketFor(const PeerID& peer) const {
    std::lock_guard lock(mutex);
    for (const auto& [token, entry] : found) {
      if (entry.peer == peer) return entry.socket;
    }
    return {};
  }
};

std::shared_ptr<NearbyServiceBrowser> NearbyServiceBrowser::create(PeerID myPeer,
                                                                   std::string serviceType,
                                                                   LinkOptions options) {
  std::shared_ptr<NearbyServiceBrowser> browser(
      new NearbyServiceBrowser(std::move(myPeer), std::move(serviceType), options));
  browser->core_->owner = browser;
  return browser;
}

NearbyServiceBrowser::NearbyServiceBrowser(PeerID myPeer, std::string serviceType,
                                           LinkOptions options)
    : myPeer_(myPeer),
      serviceType_(serviceType),
      options_(options),
      core_(std::make_shared<Core>(std::move(myPeer), std::move(serviceType), options)) {}

NearbyServiceBrowser::~NearbyServiceBrowser() { core_->stop(); }

std::shared_ptr<NearbyServiceBrowserDelegate> NearbyServiceBrowser::delegate() const {
  return core_->currentDelegate();
}

void NearbyServiceBrowser::setDelegate(std::weak_ptr<NearbyServiceBrowserDelegate> delegate) {
  std::lock_guard lock(core_->mutex);
  core_->delegate = std::move(delegate);
}

void NearbyServiceBrowser::startBrowsingForPeers() { core_->start(); }

void NearbyServiceBrowser::stopBrowsingForPeers() { core_->stop(); }

void NearbyServiceBrowser::invitePeer(const PeerID& peer, const std::shared_ptr<Session>& session,
                                      std::optional<Bytes> context, double timeoutSeconds) {
  if (!session) return;
  // An unknown peer gets an empty path: the connection fails and the session reports state 0.
  session->invite(peer, core_->socketFor(peer), std::move(context),
                  invitationTimeout(timeoutSeconds, options_.defaultInvitationTimeout));
}

}  // namespace brellis::platform::multipeer
