#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/multipeer/nearby_service_advertiser.h"
#include "platform/multipeer/nearby_service_browser.h"
#include "platform/multipeer/session.h"

namespace brellis::platform::multipeer::testing {

using namespace std::chrono_literals;

// Fast timings for tests.
inline LinkOptions fastOptions() {
  LinkOptions options;
  options.defaultInvitationTimeout = 2s;
  options.pollInterval = 10ms;
  options.helloTimeout = 2s;
  return options;
}

// Collects events behind a lock and lets the test wait for one.
template <class Event>
class EventLog {
 public:
  void add(Event event) {
    {
      std::lock_guard lock(mutex_);
      events_.push_back(std::move(event));
    }
    cv_.notify_all();
  }
  void clear() {
    std::lock_guard lock(mutex_);
    events_.clear();
  }
  std::vector<Event> snapshot() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  bool waitFor(const std::function<bool(const std::vector<Event>&)>& done,
               std::chrono::milliseconds timeout = 5s) const {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return done(events_); });
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
  std::vector<Event> events_;
};

struct SessionEvent {
  std::string peer;  // display name
  std::optional<SessionState> state;
  std::optional<Bytes> data;
  bool onSessionQueue = false;
};

class RecordingSessionDelegate : public SessionDelegate {
 public:
  void didChangeState(const std::shared_ptr<Session>& session, const PeerID& peer,
                      SessionState state) override {
    events.add(SessionEvent{peer.displayName(), state, std::nullopt,
                            session->delegateQueue().isCurrent()});
  }
  void didReceiveData(const std::shared_ptr<Session>& session, const Bytes& data,
                      const PeerID& peer) override {
    events.add(
        SessionEvent{peer.displayName(), std::nullopt, data, session->delegateQueue().isCurrent()});
  }

  std::vector<SessionState> states() const {
    std::vector<SessionState> out;
    for (const auto& event : events.snapshot()) {
      if (event.state) out.push_back(*event.state);
    }
    return out;
  }
  bool waitForStates(const std::vector<SessionState>& expected,
                     std::chrono::milliseconds timeout = 5s) const {
    return events.waitFor(
               [&](const std::vector<SessionEvent>& all) {
                 std::vector<SessionState> seen;
                 for (const auto& event : all) {
                   if (event.state) seen.push_back(*event.state);
                 }
                 return seen.size() >= expected.size();
               },
               timeout) &&
           states() == expected;
  }
  bool waitForData(size_t count, std::chrono::milliseconds timeout = 5s) const {
    return events.waitFor(
        [&](const std::vector<SessionEvent>& all) {
          size_t n = 0;
          for (const auto& event : all) n += event.data ? 1 : 0;
          return n >= count;
        },
        timeout);
  }
  std::vector<Bytes> data() const {
    std::vector<Bytes> out;
    for (const auto& event : events.snapshot()) {
      if (event.data) out.push_back(*event.data);
    }
    return out;
  }

  EventLog<SessionEvent> events;
};

struct BrowserEvent {
  enum Kind { found, lost, failed } kind;
  std::optional<PeerID> peer;
  std::optional<foundation::ErrorRecord> error;
};

class RecordingBrowserDelegate : public NearbyServiceBrowserDelegate {
 public:
  void foundPeer(const std::shared_ptr<NearbyServiceBrowser>&, const PeerID& peer) override {
    events.add(BrowserEvent{BrowserEvent::found, peer, std::nullopt});
  }
  void lostPeer(const std::shared_ptr<NearbyServiceBrowser>&, const PeerID& peer) override {
    events.add(BrowserEvent{BrowserEvent::lost, peer, std::nullopt});
  }
  void didNotStartBrowsingForPeers(const std::shared_ptr<NearbyServiceBrowser>&,
                                   const foundation::ErrorRecord& error) override {
    events.add(BrowserEvent{BrowserEvent::failed, std::nullopt, error});
  }
  std::optional<PeerID> waitForFound(std::chrono::milliseconds timeout = 5s) const {
    std::optional<PeerID> peer;
    events.waitFor(
        [&](const std::vector<BrowserEvent>& all) {
          for (const auto& event : all) {
            if (event.kind == BrowserEvent::found) {
              peer = event.peer;
              return true;
            }
          }
          return false;
        },
        timeout);
    return peer;
  }
  bool waitForKind(BrowserEvent::Kind kind, std::chrono::milliseconds timeout = 5s) const {
    return events.waitFor(
        [&](const std::vector<BrowserEvent>& all) {
          for (const auto& event : all) {
            if (event.kind == kind) return true;
          }
          return false;
        },
        timeout);
  }

  EventLog<BrowserEvent> events;
};

// Answers invitations with a scripted decision; keeps the handler when told to hold it.
class ScriptedAdvertiserDelegate : public NearbyServiceAdvertiserDelegate {
 public:
  enum class Answer { accept, decline, drop, hold };

  explicit ScriptedAdvertiserDelegate(std::shared_ptr<Session> session, Answer answer)
      : session_(std::move(session)), answer_(answer) {}

  struct Invitation {
    PeerID peer;
    std::optional<Bytes> context;
  };

  void didReceiveInvitationFromPeer(const std::shared_ptr<NearbyServiceAdvertiser>&,
                                    const PeerID& peer, const std::optional<Bytes>& context,
                                    InvitationHandler handler) override {
    switch (answer_) {
      case Answer::accept:
        handler(true, session_);
        break;
      case Answer::decline:
        handler(false, session_);
        break;
      case Answer::drop:
        break;
      case Answer::hold: {
        std::lock_guard lock(mutex_);
        held_.push_back(handler);
        break;
      }
    }
    invitations.add(Invitation{peer, context});
  }
  void didNotStartAdvertisingPeer(const std::shared_ptr<NearbyServiceAdvertiser>&,
                                  const foundation::ErrorRecord& error) override {
    failures.add(error);
  }
  std::vector<InvitationHandler> takeHeld() {
    std::lock_guard lock(mutex_);
    return std::move(held_);
  }

  EventLog<Invitation> invitations;
  EventLog<foundation::ErrorRecord> failures;

 private:
  std::shared_ptr<Session> session_;
  Answer answer_;
  std::mutex mutex_;
  std::vector<InvitationHandler> held_;
};

}  // namespace brellis::platform::multipeer::testing
