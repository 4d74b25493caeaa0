#include "platform/xpc/interface_description.h"

#include <stdexcept>

namespace brellis::platform::xpc {

InterfaceDescription::InterfaceDescription(std::string name, std::vector<MethodDescription> methods)
    : name_(std::move(name)), methods_(std::move(methods)) {
  for (size_t i = 0; i < methods_.size(); ++i) {
    if (methods_[i].selector.empty()) throw std::invalid_argument("empty selector");
    if (!index_.emplace(methods_[i].selector, i).second) {
      throw std::invalid_argument("duplicate selector " + methods_[i].selector);
    }
  }
}

const MethodDescription* InterfaceDescription::find(std::string_view selector) const {
  auto it = index_.find(std::string(selector));
  return it == index_.end() ? nullptr : &methods_[it->second];
}

bool conforms(const Value& value, ArgType type) {
  if (value.isNull()) return type.nullable || (!type.number && type.kind == ValueKind::null);
  if (type.number) return isNumberKind(value.kind());
  return value.kind() == type.kind;
}

std::optional<std::string> checkArguments(const std::vector<ArgType>& types,
                                          const std::vector<Value>& values) {
  if (types.size() != values.size()) {
    return "expected " + std::to_string(types.size()) + " arguments, got " +
           std::to_string(values.size());
  }
  for (size_t i = 0; i < types.size(); ++i) {
    if (!conforms(values[i], types[i])) {
      return "argument " + std::to_string(i) + ": expected " +
             (types[i].number ? "number" : kindName(types[i].kind)) +
             (types[i].nullable ? " or null" : "") + ", got " + kindName(values[i].kind());
    }
  }
  return std::nullopt;
}

}  // namespace brellis::platform::xpc
