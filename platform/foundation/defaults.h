#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/plist_value.h"

namespace brellis::platform::foundation {

// A defaults suite (NSUserDefaults opened on a suite name): one binary property list per suite,
// <state root>/defaults/<suite>.plist (system place: /var/lib/brellis/defaults). Shared between
// processes: every write takes an exclusive lock on <suite>.plist.lock, reads the file afresh,
// modifies, writes a temporary file and renames it over; reads never cache. A file that cannot
// be read as a dictionary reads as empty (and is logged).
class Defaults {
 public:
  // Absent when the suite name is unsafe as a file name ("", ".", "..", "/" or NUL inside, or
  // longer than 200 bytes), as the platform refusing the suite.
  static std::optional<Defaults> open(std::string_view suiteName);
  // The directory that holds the suites.
  static std::filesystem::path directory();

  const std::string& suiteName() const { return suite_; }

  std::optional<PlistValue> object(std::string_view key) const;
  std::optional<Bytes> data(std::string_view key) const;          // absent unless data
  std::optional<std::string> string(std::string_view key) const;  // absent unless a string
  bool boolean(std::string_view key) const;     // false unless a boolean (or a non-zero integer)
  int64_t integer(std::string_view key) const;  // 0 unless an integer (or a boolean)
  PlistDict dictionaryRepresentation() const;

  void set(std::string_view key, PlistValue value) const;
  void remove(std::string_view key) const;
  // Compare-and-set under the suite's lock: writes `value` (or removes the key when absent) only
  // if the stored value still equals `expected` (absent meaning "not stored"). Returns whether
  // it wrote.
  bool replaceIfEqual(std::string_view key, const std::optional<PlistValue>& expected,
                      const std::optional<PlistValue>& value) const;
  // Read-modify-write of the whole suite under its lock.
  void update(const std::function<void(PlistDict&)>& change) const;

  // Removes the persistent domain of `suiteName` (the whole file).
  static void removePersistentDomain(std::string_view suiteName);

 private:
  explicit Defaults(std::string suite) : suite_(std::move(suite)) {}
  std::string suite_;
};

// The suite name check used by Defaults::open.
bool isSafeSuiteName(std::string_view suiteName);

}  // namespace brellis::platform::foundation
