#include "platform/foundation/main_bundle.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <system_error>
#include <vector>

#include "platform/foundation/plist_codec.h"

namespace brellis::platform::foundation {

namespace {
constexpr const char* kBundleIdentifierVariable = "BRELLIS_BUNDLE_IDENTIFIER";
constexpr const char* kBundleResourcesVariable = "BRELLIS_BUNDLE_RESOURCES";
constexpr size_t kMaxTableBytes = 4 * 1024 * 1024;

// "de_DE.UTF-8" -> "de_DE", "de"; "C" and "POSIX" name no language.
std::vector<std::string> preferredLanguages() {
  std::vector<std::string> languages;
  auto add = [&](std::string name) {
    if (name.empty() || name == "C" || name == "POSIX") return;
    for (const auto& known : languages) {
      if (known == name) return;
    }
    languages.push_back(std::move(name));
  };
  for (const char* variable : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(variable);
    if (!value) continue;
    std::string list = value;
    size_t start = 0;
    while (start <= list.size()) {
      size_t end = list.find(':', start);
      if (end == std::string::npos) end = list.size();
      std::string entry = list.substr(start, end - start);
      entry = entry.substr(0, entry.find_first_of(".@"));
      add(entry);
      add(entry.substr(0, entry.find('_')));
      start = end + 1;
    }
  }
  add("en");
  add("Base");
  return languages;
}

std::optional<std::string> lookUp(const std::filesystem::path& file, std::string_view key) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(file, error)) return std::nullopt;
  if (std::filesystem::file_size(file, error) > kMaxTableBytes || error) return std::nullopt;
  std::ifstream in(file, std::ios::binary);
  Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  try {
    PlistValue table = readPlist(bytes);
    if (const auto* dict = table.dict()) {
      if (const auto* entry = dict->find(key)) {
        if (const auto* text = entry->string()) return *text;
      }
    }
  } catch (const PlistError&) {
  }
  return std::nullopt;
}

}  // namespace

std::string mainBundleIdentifier() {
  const char* identifier = std::getenv(kBundleIdentifierVariable);
  return identifier ? identifier : "";
}

namespace {
struct ResourceOverride {
  std::mutex mutex;
  std::optional<std::filesystem::path> directory;
};
ResourceOverride& resourceOverride() {
  static ResourceOverride* set = new ResourceOverride();  // outlives static destructors
  return *set;
}
}  // namespace

void setMainBundleResourceDirectoryForTesting(std::optional<std::filesystem::path> directory) {
  std::lock_guard lock(resourceOverride().mutex);
  resourceOverride().directory = std::move(directory);
}

std::optional<std::filesystem::path> mainBundleResourceDirectory() {
  {
    std::lock_guard lock(resourceOverride().mutex);
    if (resourceOverride().directory) return resourceOverride().directory;
  }
  if (const char* resources = std::getenv(kBundleResourcesVariable); resources && *resources) {
    return std::filesystem::path(resources);
  }
  std::error_code error;
  auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return std::nullopt;
  auto beside = executable.parent_path() / "Resources";
  if (std::filesystem::is_directory(beside, error)) return beside;
  return std::nullopt;
}

std::string localizedString(std::string_view key, std::string_view value, std::string_view table) {
  if (auto resources = mainBundleResourceDirectory()) {
    for (const auto& language : preferredLanguages()) {
      auto file = *resources / (language + ".lproj") / (std::string(table) + ".strings");
      if (auto found = lookUp(file, key)) return *found;
    }
  }
  return std::string(value.empty() ? key : value);
}

}  // namespace brellis::platform::foundation
