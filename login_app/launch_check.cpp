#include "login_app/launch_check.h"

#include <optional>

#include "group_defaults/group_defaults.h"
#include "logging/file_logger.h"
#include "login_app/brellis_token_manager_dependencies.h"
#include "login_app/launch_check_gate.h"
#include "login_app/program_log.h"
#include "login_app/stored_unlock_data.h"
#include "login_app/token_manager.h"
#include "login_app/unlock_data_operations.h"
#include "token_host/group_defaults_writer.h"

namespace brellis::login_app {

namespace {

constexpr const char* kLogCategory = "main";
constexpr const char* kInUse = "Unlock is in use for login";
constexpr const char* kSettingGroupDefaults = "Setting group defaults to match Unlock data";
constexpr const char* kLaunching = "Launching Brellis app";

void disableUnlock() {
  // The token manager is made for its logger and token host; creating it also starts its
  // status fetch, which outlives this call in its own task.
  auto manager = TokenManager::make(BrellisTokenManagerDependencies::defaultDependencies());
  manager->disable();
  manager.reset();
  token_host::removeGroupDefaults();
}

}  // namespace

asio::awaitable<bool> launchCheck() {
  // Whatever the outcome, the group defaults are settled when this returns.
  struct OpenGateOnExit {
    ~OpenGateOnExit() { LaunchCheckGate::open(); }
  } openGate;
  std::optional<token_host::UnlockData> data;
  try {
    data = co_await fetchUnlockData();
    co_await fetchUnlockStatus();  // only the success of the call counts
  } catch (...) {
    data.reset();
  }
  if (!data) {
    disableUnlock();
    co_return false;
  }
  logging::FileLogger logger(kProgramLogFile, programLogSubsystem(), kLogCategory);
  logger.info(kInUse);
  auto groupDefaults = group_defaults::GroupDefaults::init(group_defaults::GroupDefaults::name);
  auto stored = storedUnlockData(groupDefaults);
  if (!stored || !(*stored == *data)) {
    logger.info(kSettingGroupDefaults);
    token_host::setGroupDefaults(*data);
  }
  logger.info(kLaunching);
  co_return true;
}

}  // namespace brellis::login_app
