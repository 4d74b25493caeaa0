#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "platform/foundation/error_record.h"
#include "platform/foundation/plist_value.h"
#include "platform/xpc/endpoint.h"

namespace brellis::platform::xpc {

using foundation::Bytes;
using foundation::ErrorRecord;
using foundation::PlistDate;

// The kinds of value that travel in a message.
enum class ValueKind : uint8_t {
  null = 0,
  boolean = 1,
  int64 = 2,
  uint64 = 3,
  real = 4,
  string = 5,
  data = 6,
  date = 7,
  array = 8,
  dict = 9,
  error = 10,
  fd = 11,
  endpoint = 12,
};

const char* kindName(ValueKind kind);  // "null", "bool", "int64", ...

class Value;
using ValueArray = std::vector<Value>;
// Keys are unique and keep their order.
using ValueDict = std::vector<std::pair<std::string, Value>>;

// A file descriptor carried by a message (its own descriptor, shared among copies).
struct FdValue {
  SharedFd fd;
  bool operator==(const FdValue& other) const { return fd == other.fd; }
};

// One argument of a message. Copies are cheap for scalars and share descriptors.
class Value {
 public:
  using Storage = std::variant<std::monostate, bool, int64_t, uint64_t, double, std::string, Bytes,
                               PlistDate, ValueArray, ValueDict, ErrorRecord, FdValue, Endpoint>;

  Value() = default;  // null
  static Value null() { return Value(); }
  static Value boolean(bool v) { return Value(Storage(std::in_place_index<1>, v)); }
  static Value int64(int64_t v) { return Value(Storage(std::in_place_index<2>, v)); }
  static Value uint64(uint64_t v) { return Value(Storage(std::in_place_index<3>, v)); }
  static Value real(double v) { return Value(Storage(std::in_place_index<4>, v)); }
  static Value string(std::string v) {
    return Value(Storage(std::in_place_index<5>, std::move(v)));
  }
  static Value data(Bytes v) { return Value(Storage(std::in_place_index<6>, std::move(v))); }
  static Value date(PlistDate v) { return Value(Storage(std::in_place_index<7>, v)); }
  static Value array(ValueArray v) { return Value(Storage(std::in_place_index<8>, std::move(v))); }
  static Value dict(ValueDict v) { return Value(Storage(std::in_place_index<9>, std::move(v))); }
  static Value error(ErrorRecord v) {
    return Value(Storage(std::in_place_index<10>, std::move(v)));
  }
  static Value fd(SharedFd v) {
    return Value(Storage(std::in_place_index<11>, FdValue{std::move(v)}));
  }
  static Value endpoint(Endpoint v) {
    return Value(Storage(std::in_place_index<12>, std::move(v)));
  }

  ValueKind kind() const { return static_cast<ValueKind>(storage_.index()); }
  bool isNull() const { return kind() == ValueKind::null; }

  // Typed access; nullptr when the value is of another kind (no conversions).
  const bool* asBool() const { return std::get_if<bool>(&storage_); }
  const int64_t* asInt64() const { return std::get_if<int64_t>(&storage_); }
  const uint64_t* asUint64() const { return std::get_if<uint64_t>(&storage_); }
  const double* asReal() const { return std::get_if<double>(&storage_); }
  const std::string* asString() const { return std::get_if<std::string>(&storage_); }
  const Bytes* asData() const { return std::get_if<Bytes>(&storage_); }
  const PlistDate* asDate() const { return std::get_if<PlistDate>(&storage_); }
  const ValueArray* asArray() const { return std::get_if<ValueArray>(&storage_); }
  const ValueDict* asDict() const { return std::get_if<ValueDict>(&storage_); }
  const ErrorRecord* asError() const { return std::get_if<ErrorRecord>(&storage_); }
  const SharedFd* asFd() const {
    auto* v = std::get_if<FdValue>(&storage_);
    return v ? &v->fd : nullptr;
  }
  const Endpoint* asEndpoint() const { return std::get_if<Endpoint>(&storage_); }

  // The dictionary entry for `key`, or nullptr (also when this is not a dictionary).
  const Value* find(std::string_view key) const;

  const Storage& storage() const { return storage_; }
  bool operator==(const Value& other) const { return storage_ == other.storage_; }

 private:
  explicit Value(Storage storage) : storage_(std::move(storage)) {}
  Storage storage_;
};

// Conversions between the property-list model and wire values (error userInfo dictionaries
// travel this way). A UID becomes uint64. fromPlist never fails; toPlist fails (nullopt) for
// null, descriptors and endpoints, which have no property-list form.
Value fromPlist(const foundation::PlistValue& value);
std::optional<foundation::PlistValue> toPlist(const Value& value);

}  // namespace brellis::platform::xpc
