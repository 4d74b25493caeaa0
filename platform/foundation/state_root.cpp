#include "platform/foundation/state_root.h"

#include <cstdlib>
#include <system_error>

namespace brellis::platform::foundation {

std::optional<std::filesystem::path> stateRoot() {
  const char* root = std::getenv("BRELLIS_ROOT");
  if (!root || !*root) return std::nullopt;
  return std::filesystem::path(root);
}

std::filesystem::path statePath(const std::filesystem::path& relative,
                                const std::filesystem::path& systemPlace) {
  if (auto root = stateRoot()) return *root / relative;
  return systemPlace;
}

bool ensureDirectory(const std::filesystem::path& directory) {
  std::error_code error;
  if (std::filesystem::is_directory(directory, error)) return true;
  std::filesystem::create_directories(directory, error);
  if (error) return std::filesystem::is_directory(directory, error);
  std::filesystem::permissions(directory, std::filesystem::perms(0755),
                               std::filesystem::perm_options::replace, error);
  return true;
}

}  // namespace brellis::platform::foundation
