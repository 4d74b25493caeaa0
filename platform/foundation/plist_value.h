#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace brellis::platform::foundation {

using Bytes = std::vector<uint8_t>;

class PlistValue;

// A dictionary keeps its keys in insertion order; keys are unique (set() replaces in place).
class PlistDict {
 public:
  using Entry = std::pair<std::string, PlistValue>;

  const PlistValue* find(std::string_view key) const;
  PlistValue* find(std::string_view key);
  bool contains(std::string_view key) const { return find(key) != nullptr; }
  void set(std::string key, PlistValue value);
  bool remove(std::string_view key);
  // Defined below PlistValue: the entries' type must be complete where they are instantiated.
  size_t size() const;
  bool empty() const;
  const std::vector<Entry>& entries() const { return entries_; }
  std::vector<Entry>::const_iterator begin() const;
  std::vector<Entry>::const_iterator end() const;
  bool operator==(const PlistDict& other) const;  // order-insensitive

 private:
  std::vector<Entry> entries_;
};

using PlistArray = std::vector<PlistValue>;

// Seconds since 2001-01-01 00:00:00 UTC, the property-list epoch.
struct PlistDate {
  double secondsSince2001 = 0;
  bool operator==(const PlistDate&) const = default;
};

// A keyed-archive object reference.
struct PlistUid {
  uint64_t value = 0;
  bool operator==(const PlistUid&) const = default;
};

// An unsigned integer above INT64_MAX: written as a 16-byte integer, as Apple's writer does.
struct PlistBigUnsigned {
  uint64_t value = 0;
  bool operator==(const PlistBigUnsigned&) const = default;
};

// The typed property-list value: dictionary, array, string (UTF-8), data, signed 64-bit integer,
// unsigned integer above INT64_MAX, boolean, real, date, UID.
class PlistValue {
 public:
  using Storage = std::variant<PlistDict, PlistArray, std::string, Bytes, int64_t, PlistBigUnsigned,
                               bool, double, PlistDate, PlistUid>;

  PlistValue() : storage_(PlistDict{}) {}
  PlistValue(PlistDict v) : storage_(std::move(v)) {}
  PlistValue(PlistArray v) : storage_(std::move(v)) {}
  PlistValue(std::string v) : storage_(std::move(v)) {}
  PlistValue(const char* v) : storage_(std::string(v)) {}
  PlistValue(std::string_view v) : storage_(std::string(v)) {}
  PlistValue(Bytes v) : storage_(std::move(v)) {}
  PlistValue(bool v) : storage_(v) {}
  PlistValue(double v) : storage_(v) {}
  PlistValue(PlistDate v) : storage_(v) {}
  PlistValue(PlistUid v) : storage_(v) {}
  PlistValue(PlistBigUnsigned v) : storage_(v) {}
  template <class I, std::enable_if_t<std::is_integral_v<I> && !std::is_same_v<I, bool>, int> = 0>
  PlistValue(I v) {
    if constexpr (std::is_unsigned_v<I> && sizeof(I) >= 8) {
      if (v > static_cast<uint64_t>(INT64_MAX)) {
        storage_ = PlistBigUnsigned{static_cast<uint64_t>(v)};
        return;
      }
    }
    storage_ = static_cast<int64_t>(v);
  }

  bool isDict() const { return std::holds_alternative<PlistDict>(storage_); }
  bool isArray() const { return std::holds_alternative<PlistArray>(storage_); }
  bool isString() const { return std::holds_alternative<std::string>(storage_); }
  bool isData() const { return std::holds_alternative<Bytes>(storage_); }
  bool isInteger() const {
    return std::holds_alternative<int64_t>(storage_) ||
           std::holds_alternative<PlistBigUnsigned>(storage_);
  }
  bool isBool() const { return std::holds_alternative<bool>(storage_); }
  bool isReal() const { return std::holds_alternative<double>(storage_); }
  bool isDate() const { return std::holds_alternative<PlistDate>(storage_); }
  bool isUid() const { return std::holds_alternative<PlistUid>(storage_); }

  // Typed access; nullptr / nullopt when the value is of another kind (no conversions).
  const PlistDict* dict() const { return std::get_if<PlistDict>(&storage_); }
  PlistDict* dict() { return std::get_if<PlistDict>(&storage_); }
  const PlistArray* array() const { return std::get_if<PlistArray>(&storage_); }
  PlistArray* array() { return std::get_if<PlistArray>(&storage_); }
  const std::string* string() const { return std::get_if<std::string>(&storage_); }
  const Bytes* data() const { return std::get_if<Bytes>(&storage_); }
  std::optional<int64_t> int64() const;    // absent for big unsigned values
  std::optional<uint64_t> uint64() const;  // absent for negative values
  std::optional<bool> boolean() const;
  std::optional<double> real() const;
  std::optional<PlistDate> date() const;
  std::optional<PlistUid> uid() const;

  const Storage& storage() const { return storage_; }
  bool operator==(const PlistValue& other) const { return storage_ == other.storage_; }

 private:
  Storage storage_;
};

inline size_t PlistDict::size() const { return entries_.size(); }
inline bool PlistDict::empty() const { return entries_.empty(); }
inline std::vector<PlistDict::Entry>::const_iterator PlistDict::begin() const {
  return entries_.begin();
}
inline std::vector<PlistDict::Entry>::const_iterator PlistDict::end() const {
  return entries_.end();
}

const char* kindName(const PlistValue& value);  // "dictionary", "array", "string", ...

}  // namespace brellis::platform::foundation
