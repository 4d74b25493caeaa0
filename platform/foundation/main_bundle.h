#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace brellis::platform::foundation {

// The identifier of the running program's bundle, the subsystem of the system's log handles:
// our programs have no bundle, so it is what the installation names in the environment
// (BRELLIS_BUNDLE_IDENTIFIER), or the empty string.
std::string mainBundleIdentifier();

// The main bundle's resource folder: BRELLIS_BUNDLE_RESOURCES when set, else the folder
// "Resources" beside the running executable when it exists; otherwise none.
std::optional<std::filesystem::path> mainBundleResourceDirectory();
// Sets the resource folder for the whole process ahead of the rules above (nullopt: the rules
// again). For tests, which may not change the environment while other threads read it.
void setMainBundleResourceDirectoryForTesting(std::optional<std::filesystem::path> directory);

// NSBundle's localizedStringForKey:value:table: on the main bundle. The table is
// "<resources>/<language>.lproj/<table>.strings", a property list whose top level is a dictionary
// of strings, looked up for each preferred language of the process (LANGUAGE, LC_ALL,
// LC_MESSAGES, LANG), then "en", then "Base". Without a table holding the key as a string the
// result is `value` (or the key when `value` is empty).
std::string localizedString(std::string_view key, std::string_view value, std::string_view table);

}  // namespace brellis::platform::foundation
