#pragma once

#include "platform/os_log/logger.h"

namespace brellis::beacon {

// The beacon's two log handles, subsystem "VelkorBeacon": "workflow" for start, stop and
// scheduling, "bluetooth" for the radio's reports.
const platform::os_log::Logger& workflowLog();
const platform::os_log::Logger& bluetoothLog();

}  // namespace brellis::beacon
