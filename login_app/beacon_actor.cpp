#include "login_app/beacon_actor.h"

#include "login_app/beacon_error.h"

namespace brellis::login_app {

BeaconActor::BeaconActor() : queue_("BeaconActor") {}

void BeaconActor::finish(std::optional<platform::foundation::ErrorRecord> error) {
  auto completion = std::exchange(completion_, {});
  beacon_.reset();
  if (completion) completion(std::move(error));
}

asio::awaitable<void> BeaconActor::cancelPending() {
  finish(BeaconError::canceled().toRecord());
  co_return;
}

asio::awaitable<void> BeaconActor::store(std::shared_ptr<beacon::VelkorBeacon> beacon,
                                         Completion completion) {
  finish(BeaconError::canceled().toRecord());
  beacon_ = std::move(beacon);
  completion_ = std::move(completion);
  co_return;
}

asio::awaitable<void> BeaconActor::timeOut() {
  finish(BeaconError::timedOut().toRecord());
  co_return;
}

asio::awaitable<void> BeaconActor::resolve() {
  finish(std::nullopt);
  co_return;
}

asio::awaitable<bool> BeaconActor::isPending() { co_return static_cast<bool>(completion_); }

}  // namespace brellis::login_app
