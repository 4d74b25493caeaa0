#include "platform/xpc/value.h"

namespace brellis::platform::xpc {

const char* kindName(ValueKind kind) {
  switch (kind) {
    case ValueKind::null:
      return "null";
    case ValueKind::boolean:
      return "bool";
    case ValueKind::int64:
      return "int64";
    case ValueKind::uint64:
      return "uint64";
    case ValueKind::real:
      return "double";
    case ValueKind::string:
      return "string";
    case ValueKind::data:
      return "data";
    case ValueKind::date:
      return "date";
    case ValueKind::array:
      return "array";
    case ValueKind::dict:
      return "dictionary";
    case ValueKind::error:
      return "error";
    case ValueKind::fd:
      return "fd";
    case ValueKind::endpoint:
      return "endpoint";
  }
  return "unknown";
}

const Value* Value::find(std::string_view key) const {
  const auto* entries = asDict();
  if (!entries) return nullptr;
  for (const auto& [k, v] : *entries) {
    if (k == key) return &v;
  }
  return nullptr;
}

Value fromPlist(const foundation::PlistValue& value) {
  using foundation::PlistValue;
  if (const auto* d = value.dict()) {
    ValueDict out;
    out.reserve(d->size());
    for (const auto& [k, v] : *d) out.emplace_back(k, fromPlist(v));
    return Value::dict(std::move(out));
  }
  if (const auto* a = value.array()) {
    ValueArray out;
    out.reserve(a->size());
    for (const auto& v : *a) out.push_back(fromPlist(v));
    return Value::array(std::move(out));
  }
  if (const auto* s = value.string()) return Value::string(*s);
  if (const auto* b = value.data()) return Value::data(*b);
  if (auto i = value.int64()) return Value::int64(*i);
  if (auto u = value.uint64()) return Value::uint64(*u);
  if (auto b = value.boolean()) return Value::boolean(*b);
  if (auto r = value.real()) return Value::real(*r);
  if (auto d = value.date()) return Value::date(*d);
  if (auto u = value.uid()) return Value::uint64(u->value);
  return Value::null();
}

std::optional<foundation::PlistValue> toPlist(const Value& value) {
  using foundation::PlistValue;
  switch (value.kind()) {
    case ValueKind::boolean:
      return PlistValue(*value.asBool());
    case ValueKind::int64:
      return PlistValue(*value.asInt64());
    case ValueKind::uint64:
      return PlistValue(*value.asUint64());
    case ValueKind::real:
      return PlistValue(*value.asReal());
    case ValueKind::string:
      return PlistValue(*value.asString());
    case ValueKind::data:
      return PlistValue(*value.asData());
    case ValueKind::date:
      return PlistValue(*value.asDate());
    case ValueKind::array: {
      foundation::PlistArray out;
      for (const auto& v : *value.asArray()) {
        auto p = toPlist(v);
        if (!p) return std::nullopt;
        out.push_back(std::move(*p));
      }
      return PlistValue(std::move(out));
    }
    case ValueKind::dict: {
      foundation::PlistDict out;
      for (const auto& [k, v] : *value.asDict()) {
        auto p = toPlist(v);
        if (!p) return std::nullopt;
        out.set(k, std::move(*p));
      }
      return PlistValue(std::move(out));
    }
    default:
      return std::nullopt;
  }
}

}  // namespace brellis::platform::xpc
