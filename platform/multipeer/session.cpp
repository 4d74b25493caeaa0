#include "platform/multipeer/session.h"

#include <algorithm>

#include "platform/multipeer/link.h"

namespace brellis::platform::multipeer {

foundation::ErrorRecord makeError(ErrorCode code) {
  return foundation::ErrorRecord{kErrorDomain, static_cast<int64_t>(code), {}};
}

bool encryptionPreferencesMix(EncryptionPreference a, EncryptionPreference b) {
  return !((a == EncryptionPreference::required && b == EncryptionPreference::none) ||
           (a == EncryptionPreference::none && b == EncryptionPreference::required));
}

std::shared_ptr<Session> Session::create(PeerID myPeer, EncryptionPreference encryptionPreference) {
  return std::shared_ptr<Session>(new Session(std::move(myPeer), encryptionPreference));
}

Session::Session(PeerID myPeer, EncryptionPreference encryptionPreference)
    : myPeer_(std::move(myPeer)),
      encryptionPreference_(encryptionPreference),
      queue_("multipeer.session") {}

Session::~Session() {
  // Remote peers learn that we left; nothing is reported locally any more.
  for (auto& link : takeAllLinks()) link->finish(Frame{FrameType::bye, {}});
}

std::shared_ptr<SessionDelegate> Session::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_.lock();
}

void Session::setDelegate(std::weak_ptr<SessionDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

std::vector<PeerID> Session::connectedPeers() const {
  std::lock_guard lock(mutex_);
  std::vector<PeerID> peers;
  for (const auto& entry : entries_) {
    if (entry.state == EntryState::connected) peers.push_back(entry.peer);
  }
  return peers;
}

void Session::sendData(const Bytes& data, const std::vector<PeerID>& toPeers, SendDataMode) {
  std::vector<std::shared_ptr<Link>> links;
  bool dropOne = false;
  {
    std::lock_guard lock(mutex_);
    if (failNextSend_) {
      failNextSend_ = false;
      throw foundation::ErrorException(makeError(ErrorCode::unknown));
    }
    if (toPeers.empty() || data.empty() || data.size() > kMaxFramePayload) {
      throw foundation::ErrorException(makeError(ErrorCode::invalidParameter));
    }
    for (const auto& peer : toPeers) {
      Entry* entry = findByPeer(peer);
      if (!entry || entry->state != EntryState::connected) {
        throw foundation::ErrorException(makeError(ErrorCode::notConnected));
      }
      if (std::find(links.begin(), links.end(), entry->link) == links.end()) {
        links.push_back(entry->link);
      }
    }
    dropOne = std::exchange(dropNextFrame_, false);
  }
  for (auto& link : links) {
    if (dropOne) {
      link->dropNextFrame();
      dropOne = false;
    }
    link->send(Frame{FrameType::data, data});
  }
}

void Session::disconnect() {
  for (auto& link : takeAllLinks()) link->finish(Frame{FrameType::bye, {}});
}

void Session::failNextSend() {
  std::lock_guard lock(mutex_);
  failNextSend_ = true;
}

void Session::dropNextFrame() {
  std::lock_guard lock(mutex_);
  dropNextFrame_ = true;
}

void Session::cutLink(const PeerID& peer) {
  std::shared_ptr<Link> link;
  {
    std::lock_guard lock(mutex_);
    if (Entry* entry = findByPeer(peer)) link = entry->link;
  }
  if (link) link->cut();
}

void Session::cutAllLinks() {
  std::vector<std::shared_ptr<Link>> links;
  {
    std::lock_guard lock(mutex_);
    for (auto& entry : entries_) links.push_back(entry.link);
  }
  for (auto& link : links) link->cut();
}

namespace {

// Handlers that reach the session without keeping it (or the link) alive.
template <class OnFrame, class OnClosed>
Link::Handlers makeHandlers(OnFrame onFrame, OnClosed onClosed) {
  return Link::Handlers{std::move(onFrame), std::move(onClosed)};
}

}  // namespace

void Session::invite(const PeerID& peer, std::filesystem::path socketPath,
                     std::optional<Bytes> context, std::chrono::milliseconds timeout) {
  auto link = Link::make();
  {
    std::lock_guard lock(mutex_);
    // A peer that is already in the session, or being invited, is not invited twice.
    if (findByPeer(peer)) return;
    entries_.push_back(Entry{peer, link, EntryState::inviting});
  }
  Hello hello{myPeer_.displayName(), myPeer_.uniqueIdentity(),
              static_cast<uint8_t>(encryptionPreference_), std::move(context)};
  auto payload = encodeHello(hello);
  if (!payload) {
    dropEntry(link, false);
    return;
  }
  std::weak_ptr<Session> weakSelf = weak_from_this();
  std::weak_ptr<Link> weakLink = link;
  link->connect(std::move(socketPath), Frame{FrameType::hello, std::move(*payload)},
                makeHandlers(
                    [weakSelf, weakLink](Frame frame) {
                      auto self = weakSelf.lock();
                      auto link = weakLink.lock();
                      if (self && link) self->onFrame(link, std::move(frame));
                    },
                    [weakSelf, weakLink] {
                      auto self = weakSelf.lock();
                      auto link = weakLink.lock();
                      if (self && link) self->onClosed(link);
                    }));
  link->armTimer(timeout, [weakSelf, weakLink] {
    auto self = weakSelf.lock();
    auto link = weakLink.lock();
    if (self && link) self->onInvitationTimeout(link);
  });
}

bool Session::adoptAcceptedLink(const std::shared_ptr<Link>& link, const PeerID& peer,
                                EncryptionPreference remotePreference) {
  {
    std::lock_guard lock(mutex_);
    if (findByPeer(peer) || !encryptionPreferencesMix(encryptionPreference_, remotePreference)) {
      return false;
    }
    entries_.push_back(Entry{peer, link, EntryState::connecting});
    postState(peer, SessionState::connecting);
    entries_.back().state = EntryState::connected;
    postState(peer, SessionState::connected);
  }
  std::weak_ptr<Session> weakSelf = weak_from_this();
  std::weak_ptr<Link> weakLink = link;
  link->setHandlers(makeHandlers(
      [weakSelf, weakLink](Frame frame) {
        auto self = weakSelf.lock();
        auto link = weakLink.lock();
        if (self && link) self->onFrame(link, std::move(frame));
      },
      [weakSelf, weakLink] {
        auto self = weakSelf.lock();
        auto link = weakLink.lock();
        if (self && link) self->onClosed(link);
      }));
  link->send(Frame{FrameType::accept, {}});
  return true;
}

void Session::onFrame(const std::shared_ptr<Link>& link, Frame frame) {
  std::unique_lock lock(mutex_);
  Entry* entry = findByLink(link);
  if (!entry) return;
  if (entry->state == EntryState::inviting) {
    if (frame.type == FrameType::accept && frame.payload.empty()) {
      link->cancelTimer();
      entry->state = EntryState::connecting;
      postState(entry->peer, SessionState::connecting);
      entry->state = EntryState::connected;
      postState(entry->peer, SessionState::connected);
      return;
    }
    // A decline, a goodbye or anything unexpected ends the invitation.
    lock.unlock();
    dropEntry(link, false);
    return;
  }
  if (frame.type == FrameType::data) {
    postData(entry->peer, std::move(frame.payload));
    return;
  }
  // A goodbye ends the link; any other frame here breaks the protocol and ends it as well.
  lock.unlock();
  dropEntry(link, false);
}

void Session::onClosed(const std::shared_ptr<Link>& link) { dropEntry(link, false); }

void Session::onInvitationTimeout(const std::shared_ptr<Link>& link) {
  {
    std::lock_guard lock(mutex_);
    Entry* entry = findByLink(link);
    if (!entry || entry->state != EntryState::inviting) return;
  }
  dropEntry(link, true);
}

void Session::dropEntry(const std::shared_ptr<Link>& link, bool sendBye) {
  {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(entries_.begin(), entries_.end(),
                           [&](const Entry& entry) { return entry.link == link; });
    if (it == entries_.end()) return;
    PeerID peer = it->peer;
    entries_.erase(it);
    postState(peer, SessionState::notConnected);
  }
  link->finish(sendBye ? std::optional<Frame>(Frame{FrameType::bye, {}}) : std::nullopt);
}

void Session::postState(const PeerID& peer, SessionState state) {
  std::weak_ptr<Session> weakSelf = weak_from_this();
  queue_.async([weakSelf, peer, state] {
    auto self = weakSelf.lock();
    if (!self) return;
    if (auto delegate = self->delegate()) delegate->didChangeState(self, peer, state);
  });
}

void Session::postData(const PeerID& peer, Bytes data) {
  std::weak_ptr<Session> weakSelf = weak_from_this();
  queue_.async([weakSelf, peer, data = std::move(data)] {
    auto self = weakSelf.lock();
    if (!self) return;
    if (auto delegate = self->delegate()) delegate->didReceiveData(self, data, peer);
  });
}

Session::Entry* Session::findByLink(const std::shared_ptr<Link>& link) {
  for (auto& entry : entries_) {
    if (entry.link == link) return &entry;
  }
  return nullptr;
}

Session::Entry* Session::findByPeer(const PeerID& peer) {
  for (auto& entry : entries_) {
    if (entry.peer == peer) return &entry;
  }
  return nullptr;
}

std::vector<std::shared_ptr<Link>> Session::takeAllLinks() {
  std::lock_guard lock(mutex_);
  std::vector<std::shared_ptr<Link>> links;
  for (auto& entry : entries_) links.push_back(entry.link);
  entries_.clear();
  return links;
}

}  // namespace brellis::platform::multipeer
