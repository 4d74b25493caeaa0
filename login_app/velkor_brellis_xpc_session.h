#pragma once

#include <asio/awaitable.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "login_app/beacon_actor.h"
#include "platform/core_bluetooth/radio_backend.h"
#include "platform/dispatch/clock.h"
#include "platform/xpc/exported_object.h"
#include "token_host/unlock_data.h"

namespace brellis::login_app {

// The object exported on every connection of the beacon server: implements VelkorBrellisXPC.
// A start fetches the account's unlock data, advertises a beacon whose UUID is the container
// identifier (major 1, minor 0, measured power -50) for one run (30 seconds), and answers when
// the start is resolved: by a stop (success), by a newer start (`canceled`), by the end of a run
// (`timedOut`), or at once with the fetch's or the identifier's error. A stop resolves the pending
// start and answers; it does not stop the advertising, which lasts to the end of its run.
//
// Executor: invoke() runs on the calling connection's strand and only starts a task (it never
// blocks it); the tasks run on the global pool and keep their state on `beaconActor`. Every
// start's reply is called exactly once.
class VelkorBrellisXPCSession : public platform::xpc::ExportedObject,
                                public std::enable_shared_from_this<VelkorBrellisXPCSession> {
 public:
  using Completion = BeaconActor::Completion;
  // The account's unlock data; raises what the daemon call or the decoding raises.
  using FetchUnlockData = std::function<asio::awaitable<token_host::UnlockData>(std::string)>;

  struct Options {
    // The length of one advertising run.
    std::chrono::nanoseconds beaconRun = std::chrono::seconds(30);
    std::shared_ptr<platform::dispatch::Clock> clock = platform::dispatch::Clock::system();
    // The radio the beacons advertise on; null: the system radio.
    std::shared_ptr<platform::core_bluetooth::RadioBackend> radio;
    // Null: the daemon's unlockData(forAccount:), decoded.
    FetchUnlockData fetchUnlockData;
  };

  static std::shared_ptr<VelkorBrellisXPCSession> create(Options options);

  // startBeacon(forAccount:completion:) and stopBeacon(completion:): each starts its task and
  // returns at once.
  void startBeacon(std::string forAccount, Completion completion);
  void stopBeacon(std::function<void()> completion);

  void invoke(const platform::xpc::MethodDescription& method,
              std::vector<platform::xpc::Value> arguments, platform::xpc::Reply reply) override;

  const std::shared_ptr<BeaconActor>& beaconActor() const { return beaconActor_; }

 private:
  explicit VelkorBrellisXPCSession(Options options);
  static asio::awaitable<void> startTask(std::shared_ptr<VelkorBrellisXPCSession> self,
                                         std::string account, Completion completion);
  static asio::awaitable<void> stopTask(std::shared_ptr<VelkorBrellisXPCSession> self,
                                        std::function<void()> completion);

  const Options options_;
  const std::shared_ptr<BeaconActor> beaconActor_;
};

}  // namespace brellis::login_app
