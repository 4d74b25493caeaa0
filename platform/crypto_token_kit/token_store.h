#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/plist_value.h"

namespace brellis::platform::crypto_token_kit {

// The driver-configuration store that the main program and the token plug-in share: one binary
// property list per token driver class, <state root>/token/<class>.plist (system place
// /var/lib/brellis/token). A class exists once registered (its file exists). Writers hold an
// exclusive lock on <class>.plist.lock, read the file afresh, modify and replace it atomically;
// readers read the last complete file and never cache.
//
// File content: {"tokenConfigurations": {<instance ID>: {"keychainItems": [<item>...]}}}.
class TokenStore {
 public:
  static constexpr const char* kTokenConfigurationsKey = "tokenConfigurations";
  static constexpr const char* kKeychainItemsKey = "keychainItems";

  static std::filesystem::path directory();
  // Absent for a class identifier that is unsafe as a file name.
  static std::optional<std::filesystem::path> pathForClass(std::string_view classID);

  // The registered classes (sorted by identifier).
  static std::vector<std::string> registeredClasses();
  // Creates the class's file when missing. False when the identifier is unsafe or the file
  // cannot be made.
  static bool registerClass(std::string_view classID);
  // Removes the class and its configurations.
  static bool unregisterClass(std::string_view classID);

  // The class's content; absent when the class is not registered. A file that cannot be read
  // as a dictionary reads as empty (and is logged).
  static std::optional<foundation::PlistDict> read(std::string_view classID);
  // Read-modify-write under the class's lock. False (and nothing written) when the class is not
  // registered or the file cannot be written.
  static bool update(std::string_view classID,
                     const std::function<void(foundation::PlistDict&)>& change);
};

}  // namespace brellis::platform::crypto_token_kit
