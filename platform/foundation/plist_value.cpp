#include "platform/foundation/plist_value.h"

#include <algorithm>
#include <limits>

namespace brellis::platform::foundation {

const PlistValue* PlistDict::find(std::string_view key) const {
  for (const Entry& entry : entries_) {
    if (entry.first == key) return &entry.second;
  }
  return nullptr;
}

PlistValue* PlistDict::find(std::string_view key) {
  for (Entry& entry : entries_) {
    if (entry.first == key) return &entry.second;
  }
  return nullptr;
}

void PlistDict::set(std::string key, PlistValue value) {
  if (PlistValue* existing = find(key)) {
    *existing = std::move(value);
    return;
  }
  entries_.emplace_back(std::move(key), std::move(value));
}

bool PlistDict::remove(std::string_view key) {
  auto it = std::find_if(entries_.begin(), entries_.end(),
                         [key](const Entry& entry) { return entry.first == key; });
  if (it == entries_.end()) return false;
  entries_.erase(it);
  return true;
}

bool PlistDict::operator==(const PlistDict& other) const {
  // Keys are unique on both sides, so equal sizes plus every key matching is set equality.
  if (entries_.size() != other.entries_.size()) return false;
  for (const Entry& entry : entries_) {
    const PlistValue* theirs = other.find(entry.first);
    if (theirs == nullptr || !(*theirs == entry.second)) return false;
  }
  return true;
}

std::optional<int64_t> PlistValue::int64() const {
  if (const int64_t* v = std::get_if<int64_t>(&storage_)) return *v;
  return std::nullopt;
}

std::optional<uint64_t> PlistValue::uint64() const {
  if (const int64_t* v = std::get_if<int64_t>(&storage_)) {
    if (*v < 0) return std::nullopt;
    return static_cast<uint64_t>(*v);
  }
  if (const PlistBigUnsigned* v = std::get_if<PlistBigUnsigned>(&storage_)) return v->value;
  return std::nullopt;
}

std::optional<bool> PlistValue::boolean() const {
  if (const bool* v = std::get_if<bool>(&storage_)) return *v;
  return std::nullopt;
}

std::optional<double> PlistValue::real() const {
  if (const double* v = std::get_if<double>(&storage_)) return *v;
  return std::nullopt;
}

std::optional<PlistDate> PlistValue::date() const {
  if (const PlistDate* v = std::get_if<PlistDate>(&storage_)) return *v;
  return std::nullopt;
}

std::optional<PlistUid> PlistValue::uid() const {
  if (const PlistUid* v = std::get_if<PlistUid>(&storage_)) return *v;
  return std::nullopt;
}

const char* kindName(const PlistValue& value) {
  switch (value.storage().index()) {
    case 0:
      return "dictionary";
    case 1:
      return "array";
    case 2:
      return "string";
    case 3:
      return "data";
    case 4:
      return "integer";
    case 5:
      return "integer";
    case 6:
      return "boolean";
    case 7:
      return "real";
    case 8:
      return "date";
    case 9:
      return "uid";
  }
  return "unknown";
}

}  // namespace brellis::platform::foundation
