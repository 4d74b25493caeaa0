// The token plug-in `BrellisToken`: the shared library the token service loads. It exports one
// symbol, the factory named in its manifest; everything else of the library is its own.

#include <cstring>

#include "persistent_token/connectivity_controller.h"
#include "platform/crypto_token_kit/token_plugin.h"
#include "platform/dispatch/main_loop.h"
#include "token_extension/token_driver.h"

namespace {

using brellis::platform::foundation::PlistDict;

// Settings the service may hand over (tests shorten the controller's durations).
constexpr const char* kAuthTimeoutMillisecondsKey = "AuthTimeoutMilliseconds";
constexpr const char* kBeaconDelayMillisecondsKey = "BeaconDelayMilliseconds";
constexpr const char* kBeaconIntervalSecondsKey = "BeaconIntervalSeconds";
constexpr const char* kLinkPollIntervalMillisecondsKey = "LinkPollIntervalMilliseconds";
constexpr const char* kPrincipalClass = "TokenDriver";

std::optional<int64_t> positiveInteger(const PlistDict* settings, const char* key) {
  const auto* value = settings ? settings->find(key) : nullptr;
  auto number = value ? value->int64() : std::nullopt;
  if (!number || *number <= 0) return std::nullopt;
  return number;
}

brellis::persistent_token::ConnectivityControllerOptions controllerOptions(
    const PlistDict* settings) {
  brellis::persistent_token::ConnectivityControllerOptions options;
  if (auto ms = positiveInteger(settings, kAuthTimeoutMillisecondsKey)) {
    options.authTimeout = std::chrono::milliseconds(*ms);
  }
  if (auto ms = positiveInteger(settings, kBeaconDelayMillisecondsKey)) {
    options.beaconDelay = std::chrono::milliseconds(*ms);
  }
  if (const auto* value = settings ? settings->find(kBeaconIntervalSecondsKey) : nullptr) {
    std::optional<double> seconds = value->real();
    if (!seconds && value->int64()) seconds = static_cast<double>(*value->int64());
    if (seconds && *seconds > 0) options.beaconInterval = *seconds;
  }
  if (auto ms = positiveInteger(settings, kLinkPollIntervalMillisecondsKey)) {
    options.linkOptions.pollInterval = std::chrono::milliseconds(*ms);
  }
  return options;
}

bool makeDriver(const char* principalClass, const PlistDict* settings,
                std::shared_ptr<brellis::platform::crypto_token_kit::TKTokenDriver>* driver) {
  if (!principalClass || !driver || std::strcmp(principalClass, kPrincipalClass) != 0) {
    return false;
  }
  *driver = std::make_shared<brellis::token_extension::TokenDriver>(
      brellis::persistent_token::connectivityControllerFactory(controllerOptions(settings)));
  return true;
}

void shutdown() {
  // Stops this library's own executors; a beacon task still waiting there is dropped.
  brellis::platform::dispatch::shutdownForExit();
}

const BrellisTokenPlugin kPlugin{BRELLIS_TOKEN_PLUGIN_ABI_VERSION, &makeDriver, &shutdown};

}  // namespace

extern "C" __attribute__((visibility("default"))) const BrellisTokenPlugin*
BrellisTokenPluginFactory() {
  return &kPlugin;
}
