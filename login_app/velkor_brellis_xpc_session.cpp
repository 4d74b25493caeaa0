#include "login_app/velkor_brellis_xpc_session.h"

#include "beacon/beacon_data.h"
#include "beacon/velkor_beacon.h"
#include "login_app/beacon_error.h"
#include "login_app/unlock_data_operations.h"
#include "login_app/velkor_brellis_xpc.h"
#include "platform/dispatch/task.h"
#include "platform/foundation/uuid.h"
#include "platform/os_log/logger.h"

namespace brellis::login_app {

namespace {

using platform::foundation::ErrorRecord;
namespace xpc = platform::xpc;

constexpr const char* kLogSubsystem = "Brellis";
constexpr const char* kLogCategory = "VelkorBrellisXPCSession";
constexpr const char* kStartOperation = "startBeacon(forAccount:completion:)";
constexpr const char* kStopOperation = "stopBeacon(completion:)";
constexpr const char* kFailedFormat = "%{public}s: %{public}s";
constexpr const char* kStartingFormat = "%{public}s: starting beacon";
constexpr const char* kStopFormat = "%{public}s";

constexpr uint16_t kBeaconMajor = 1;
constexpr uint16_t kBeaconMinor = 0;
constexpr int8_t kBeaconMeasuredPower = -50;

const platform::os_log::Logger& log() {
  static const platform::os_log::Logger logger(kLogSubsystem, kLogCategory);
  return logger;
}

asio::awaitable<token_host::UnlockData> fetchFromDaemon(std::string account) {
  co_return co_await fetchUnlockData(std::move(account));
}

}  // namespace

std::shared_ptr<VelkorBrellisXPCSession> VelkorBrellisXPCSession::create(Options options) {
  return std::shared_ptr<VelkorBrellisXPCSession>(new VelkorBrellisXPCSession(std::move(options)));
}

VelkorBrellisXPCSession::VelkorBrellisXPCSession(Options options)
    : options_(std::move(options)), beaconActor_(std::make_shared<BeaconActor>()) {}

void VelkorBrellisXPCSession::startBeacon(std::string forAccount, Completion completion) {
  platform::dispatch::detach(
      startTask(shared_from_this(), std::move(forAccount), std::move(completion)));
}

void VelkorBrellisXPCSession::stopBeacon(std::function<void()> completion) {
  platform::dispatch::detach(stopTask(shared_from_this(), std::move(completion)));
}

asio::awaitable<void> VelkorBrellisXPCSession::startTask(
    std::shared_ptr<VelkorBrellisXPCSession> self, std::string account, Completion completion) {
  auto actor = self->beaconActor_;
  co_await platform::dispatch::runOn(actor->executor(), actor->cancelPending());

  std::optional<token_host::UnlockData> data;
  std::exception_ptr failure;
  try {
    auto fetch = self->options_.fetchUnlockData ? self->options_.fetchUnlockData
                                                : FetchUnlockData(fetchFromDaemon);
    data = co_await fetch(std::move(account));
  } catch (...) {
    failure = std::current_exception();
  }
  std::optional<platform::foundation::Uuid> uuid;
  if (!failure) {
    uuid = platform::foundation::Uuid::parse(data->containerID());
    if (!uuid) {
      failure =
          std::make_exception_ptr(BeaconError::corruptContainerUUIDString(data->containerID()));
    }
  }
  if (failure) {
    log().debug(kFailedFormat, kStartOperation, platform::foundation::errorText(failure));
    completion(platform::foundation::exceptionRecord(failure));
    co_return;
  }

  auto beacon = beacon::VelkorBeacon::create(
      beacon::BeaconData(*uuid, kBeaconMajor, kBeaconMinor, kBeaconMeasuredPower),
      self->options_.clock, self->options_.radio);
  log().debug(kStartingFormat, kStartOperation);
  co_await platform::dispatch::runOn(actor->executor(),
                                     actor->store(beacon, std::move(completion)));
  // The run holds the beacon to its end; stops and newer starts are served meanwhile.
  co_await beacon->startAsync(self->options_.beaconRun);
  co_await platform::dispatch::runOn(actor->executor(), actor->timeOut());
}

asio::awaitable<void> VelkorBrellisXPCSession::stopTask(
    std::shared_ptr<VelkorBrellisXPCSession> self, std::function<void()> completion) {
  auto actor = self->beaconActor_;
  co_await platform::dispatch::runOn(actor->executor(), actor->resolve());
  log().debug(kStopFormat, kStopOperation);
  completion();
}

void VelkorBrellisXPCSession::invoke(const xpc::MethodDescription& method,
                                     std::vector<xpc::Value> arguments, xpc::Reply reply) {
  if (method.selector == VelkorBrellisXPC::kStartBeaconSelector) {
    std::string account = *arguments.at(0).asString();
    startBeacon(std::move(account), [reply](std::optional<ErrorRecord> error) {
      reply({error ? xpc::Value::error(std::move(*error)) : xpc::Value::null()});
    });
  } else if (method.selector == VelkorBrellisXPC::kStopBeaconSelector) {
    stopBeacon([reply] { reply({}); });
  }
}

}  // namespace brellis::login_app
