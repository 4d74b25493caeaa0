#include "beacon/beacon_log.h"

namespace brellis::beacon {

namespace {
constexpr const char* kSubsystem = "VelkorBeacon";
constexpr const char* kWorkflowCategory = "workflow";
constexpr const char* kBluetoothCategory = "bluetooth";
}  // namespace

const platform::os_log::Logger& workflowLog() {
  static const platform::os_log::Logger logger(kSubsystem, kWorkflowCategory);
  return logger;
}

const platform::os_log::Logger& bluetoothLog() {
  static const platform::os_log::Logger logger(kSubsystem, kBluetoothCategory);
  return logger;
}

}  // namespace brellis::beacon
