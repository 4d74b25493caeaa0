#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/xpc/value.h"

namespace brellis::platform::xpc {

// The declared type of one argument: a value kind, and whether null (nil) is allowed in its place.
// A number type (`number` set; `kind` is then ignored) accepts any numeric wire value, int64,
// uint64, double or bool, as a boxed number of the platform may travel as any of them.
struct ArgType {
  ValueKind kind = ValueKind::null;
  bool nullable = false;
  bool number = false;

  bool operator==(const ArgType&) const = default;
};

inline constexpr ArgType arg(ValueKind kind) { return ArgType{kind, false}; }
inline constexpr ArgType nullableArg(ValueKind kind) { return ArgType{kind, true}; }
inline constexpr ArgType numberArg() { return ArgType{ValueKind::real, false, true}; }
inline constexpr ArgType nullableNumberArg() { return ArgType{ValueKind::real, true, true}; }

// Whether `kind` is one of the numeric wire kinds (int64, uint64, double, bool).
inline constexpr bool isNumberKind(ValueKind kind) {
  return kind == ValueKind::int64 || kind == ValueKind::uint64 || kind == ValueKind::real ||
         kind == ValueKind::boolean;
}

// One method of an interface: its selector, the types of its arguments and, for a method with a
// reply block, the types of the reply's arguments (absent: a one-way message).
struct MethodDescription {
  std::string selector;
  std::vector<ArgType> arguments;
  std::optional<std::vector<ArgType>> reply;
};

// An interface described once as data and shared by both ends: the remote proxy checks outgoing
// arguments and incoming replies against it, the dispatcher of the exported object checks incoming
// calls against it. Immutable after construction; safe to share between threads.
class InterfaceDescription {
 public:
  // Throws std::invalid_argument for an empty or duplicate selector.
  InterfaceDescription(std::string name, std::vector<MethodDescription> methods);

  const std::string& name() const { return name_; }
  const std::vector<MethodDescription>& methods() const { return methods_; }
  const MethodDescription* find(std::string_view selector) const;

 private:
  std::string name_;
  std::vector<MethodDescription> methods_;
  std::unordered_map<std::string, size_t> index_;
};

// Whether `value` is acceptable where `type` is declared. Arrays and dictionaries are checked
// as containers only; their elements are the receiver's to check.
bool conforms(const Value& value, ArgType type);

// Checks a whole argument list; the text of the first mismatch, or nullopt when all conform.
std::optional<std::string> checkArguments(const std::vector<ArgType>& types,
                                          const std::vector<Value>& values);

}  // namespace brellis::platform::xpc
