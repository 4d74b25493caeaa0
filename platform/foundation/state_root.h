#pragma once

#include <filesystem>
#include <optional>

namespace brellis::platform::foundation {

// BRELLIS_ROOT names a state root: when it is set, every store of the platform layers (defaults
// suites, managed suite, token store, service directories, radio, link discovery, caches,
// session flag, code-signing anchors) lives below it, so tests and the demo are isolated.
// Without it the layers use the system's places.
std::optional<std::filesystem::path> stateRoot();

// <root>/<relative> when a state root is set, else `systemPlace`. Does not create anything.
std::filesystem::path statePath(const std::filesystem::path& relative,
                                const std::filesystem::path& systemPlace);

// Creates the directory (and parents) with mode 0755 if missing; false on failure.
bool ensureDirectory(const std::filesystem::path& directory);

}  // namespace brellis::platform::foundation
