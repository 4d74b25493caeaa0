#include "platform/xpc/value_codec.h"

#include <bit>
#include <unordered_set>

namespace brellis::platform::xpc {

bool ValueWriter::value(const Value& v, size_t depth) {
  if (depth > limits_.maxNesting) return fail("nesting too deep");
  u8(static_cast<uint8_t>(v.kind()));
  switch (v.kind()) {
    case ValueKind::null:
      return true;
    case ValueKind::boolean:
      u8(*v.asBool() ? 1 : 0);
      return true;
    case ValueKind::int64:
      u64(static_cast<uint64_t>(*v.asInt64()));
      return true;
    case ValueKind::uint64:
      u64(*v.asUint64());
      return true;
    case ValueKind::real:
      u64(std::bit_cast<uint64_t>(*v.asReal()));
      return true;
    case ValueKind::string:
      return sized(*v.asString());
    case ValueKind::data: {
      const auto& d = *v.asData();
      return sized(std::string_view(reinterpret_cast<const char*>(d.data()), d.size()));
    }
    case ValueKind::date:
      u64(std::bit_cast<uint64_t>(v.asDate()->secondsSince2001));
      return true;
    case ValueKind::array: {
      const auto& a = *v.asArray();
      u32(static_cast<uint32_t>(a.size()));
      for (const auto& e : a) {
        if (!value(e, depth + 1)) return false;
      }
      return true;
    }
    case ValueKind::dict: {
      const auto& d = *v.asDict();
      u32(static_cast<uint32_t>(d.size()));
      for (const auto& [k, e] : d) {
        if (!sized(k) || !value(e, depth + 1)) return false;
      }
      return true;
    }
    case ValueKind::error: {
      const auto& e = *v.asError();
      if (!sized(e.domain)) return false;
      u64(static_cast<uint64_t>(e.code));
      return value(fromPlist(foundation::PlistValue(e.userInfo)), depth + 1);
    }
    case ValueKind::fd:
      return descriptor(*v.asFd());
    case ValueKind::endpoint:
      return descriptor(v.asEndpoint()->rendezvous());
  }
  return fail("unknown value kind");
}

bool ValueReader::value(Value& out, size_t depth) {
  if (depth > limits_.maxNesting) return fail("nesting too deep");
  uint8_t tag = 0;
  if (!u8(tag)) return false;
  switch (static_cast<ValueKind>(tag)) {
    case ValueKind::null:
      out = Value::null();
      return true;
    case ValueKind::boolean: {
      uint8_t b = 0;
      if (!u8(b)) return false;
      if (b > 1) return fail("invalid boolean");
      out = Value::boolean(b == 1);
      return true;
    }
    case ValueKind::int64: {
      uint64_t v = 0;
      if (!u64(v)) return false;
      out = Value::int64(static_cast<int64_t>(v));
      return true;
    }
    case ValueKind::uint64: {
      uint64_t v = 0;
      if (!u64(v)) return false;
      out = Value::uint64(v);
      return true;
    }
    case ValueKind::real: {
      uint64_t v = 0;
      if (!u64(v)) return false;
      out = Value::real(std::bit_cast<double>(v));
      return true;
    }
    case ValueKind::string: {
      std::string s;
      if (!text(s)) return false;
      out = Value::string(std::move(s));
      return true;
    }
    case ValueKind::data: {
      std::string s;
      if (!raw(s)) return false;
      out = Value::data(Bytes(s.begin(), s.end()));
      return true;
    }
    case ValueKind::date: {
      uint64_t v = 0;
      if (!u64(v)) return false;
      out = Value::date(PlistDate{std::bit_cast<double>(v)});
      return true;
    }
    case ValueKind::array: {
      uint32_t n = 0;
      if (!count(n)) return false;
      ValueArray a;
      a.reserve(n);
      for (uint32_t i = 0; i < n; ++i) {
        a.emplace_back();
        if (!value(a.back(), depth + 1)) return false;
      }
      out = Value::array(std::move(a));
      return true;
    }
    case ValueKind::dict: {
      uint32_t n = 0;
      if (!count(n)) return false;
      ValueDict d;
      d.reserve(n);
      std::unordered_set<std::string> keys;
      for (uint32_t i = 0; i < n; ++i) {
        std::string key;
        if (!text(key)) return false;
        if (!keys.insert(key).second) return fail("duplicate dictionary key");
        Value v;
        if (!value(v, depth + 1)) return false;
        d.emplace_back(std::move(key), std::move(v));
      }
      out = Value::dict(std::move(d));
      return true;
    }
    case ValueKind::error: {
      ErrorRecord record;
      uint64_t code = 0;
      if (!text(record.domain) || !u64(code)) return false;
      record.code = static_cast<int64_t>(code);
      Value info;
      if (!value(info, depth + 1)) return false;
      if (!info.asDict()) return fail("error user info is not a dictionary");
      auto plist = toPlist(info);
      if (!plist || !plist->dict()) return fail("error user info is not a property list");
      record.userInfo = *plist->dict();
      out = Value::error(std::move(record));
      return true;
    }
    case ValueKind::fd: {
      SharedFd fd;
      if (!descriptor(fd)) return false;
      out = Value::fd(std::move(fd));
      return true;
    }
    case ValueKind::endpoint: {
      SharedFd fd;
      if (!descriptor(fd)) return false;
      out = Value::endpoint(Endpoint(std::move(fd)));
      return true;
    }
  }
  return fail("unknown value kind " + std::to_string(tag));
}

}  // namespace brellis::platform::xpc
