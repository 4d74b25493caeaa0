#pragma once

#include "platform/os_log/logger.h"

namespace brellis::token_host {

// The log of the token-configuration helpers (keychain items, group-defaults writers):
// subsystem = the main bundle's identifier (empty without one), category "TokenUtilities".
// Made once per process.
const platform::os_log::Logger& tokenUtilitiesLog();

}  // namespace brellis::token_host
