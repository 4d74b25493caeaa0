// The token plug-in `BrellisToken`: the shared library the token service loads. It exports one
// symbol, the factory named in its manifest; everything else of the library is its own.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

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

// Every controller the plug-in made, so that shutting down can wait for their beacon tasks.
std::mutex controllersMutex;
std::vector<std::weak_ptr<brellis::persistent_token::ConnectivityController>> controllers;

void track(const std::shared_ptr<brellis::persistent_token::ConnectivityController>& controller) {
  std::lock_guard lock(controllersMutex);
  std::erase_if(controllers, [](const auto& weak) { return weak.expired(); });
  controllers.push_back(controller);
}

// The plug-in's own executors outlive every unload (a later load reuses them); they are stopped
// and their threads joined when the process exits, before static objects go and before a leak
// checker looks at the threads.
void stopExecutorsAtExit() {
  static std::once_flag once;
  std::call_once(once, [] {
    std::atexit([] {
      if (!brellis::platform::dispatch::shutdownForExit()) std::fflush(nullptr);
    });
  });
}

bool makeDriver(const char* principalClass, const PlistDict* settings,
                std::shared_ptr<brellis::platform::crypto_token_kit::TKTokenDriver>* driver) {
  if (!principalClass || !driver || std::strcmp(principalClass, kPrincipalClass) != 0) {
    return false;
  }
  stopExecutorsAtExit();
  *driver = std::make_shared<brellis::token_extension::TokenDriver>(
      brellis::persistent_token::connectivityControllerFactory(controllerOptions(settings),
                                                               &track));
  return true;
}

void shutdown() {
  // The service has released the driver, tokens and sessions; a controller still alive is held
  // by its beacon task, which runs to the end of its beacon run (it stops the advert and removes
  // the unlock token). Waiting for it means no code of the plug-in runs after the unload, while
  // the plug-in's executors stay usable for a later load into the same process.
  std::vector<std::shared_ptr<brellis::persistent_token::ConnectivityController>> alive;
  {
    std::lock_guard lock(controllersMutex);
    for (const auto& weak : controllers) {
      if (auto controller = weak.lock()) alive.push_back(std::move(controller));
    }
    controllers.clear();
  }
  for (const auto& controller : alive) controller->waitForBeaconTasks();
}

const BrellisTokenPlugin kPlugin{BRELLIS_TOKEN_PLUGIN_ABI_VERSION, &makeDriver, &shutdown};

}  // namespace

extern "C" __attribute__((visibility("default"))) const BrellisTokenPlugin*
BrellisTokenPluginFactory() {
  return &kPlugin;
}
