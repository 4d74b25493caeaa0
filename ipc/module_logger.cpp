#include "ipc/module_logger.h"

namespace brellis::ipc {

TypeName moduleTypeName(std::string_view module, std::string_view name) {
  TypeName type;
  type.reflecting.append(module).append(".").append(name);
  type.describing.assign(name);
  return type;
}

platform::os_log::Logger moduleLogger(const TypeName& type, std::string_view fallbackSubsystem) {
  std::string_view reflecting = type.reflecting;
  std::string_view module = reflecting.substr(0, reflecting.find('.'));
  std::string subsystem(module.empty() ? fallbackSubsystem : module);
  return platform::os_log::Logger(std::move(subsystem), type.describing);
}

}  // namespace brellis::ipc
