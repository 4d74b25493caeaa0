#pragma once

#include <string>

namespace brellis::login_app {

// The file logger name of the main program: its lines go to /tmp/velkor_brellis.log.
inline constexpr const char* kProgramLogFile = "velkor_brellis";

// The log subsystem of the main program's file loggers: the main bundle's identifier, or
// "Brellis" without one. Computed once per process, on first use.
const std::string& programLogSubsystem();

}  // namespace brellis::login_app
