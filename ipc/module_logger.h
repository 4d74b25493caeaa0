#pragma once

#include <string>
#include <string_view>

#include "platform/os_log/logger.h"

namespace brellis::ipc {

// The module of this library, and the subsystem its types log under.
inline constexpr std::string_view kModuleName = "VelkorIPC";

// How the runtime names a type: `reflecting` is the fully qualified form
// ("VelkorIPC.Connection<TarvoDaemonInterface>"), `describing` the unqualified one
// ("Connection<TarvoDaemonInterface>").
struct TypeName {
  std::string reflecting;
  std::string describing;
};

// Names a type of module `module`: reflecting = module + "." + name, describing = name.
TypeName moduleTypeName(std::string_view module, std::string_view name);

// The module logger rule: every unified-log message of the layer goes to a Logger made per
// message from the dynamic type of the object that logs. Subsystem: the text of
// `type.reflecting` before its first "." (or `fallbackSubsystem` when that text is empty);
// category: `type.describing`. The daemon client applies the same rule with its own fallback.
platform::os_log::Logger moduleLogger(const TypeName& type,
                                      std::string_view fallbackSubsystem = kModuleName);

}  // namespace brellis::ipc
