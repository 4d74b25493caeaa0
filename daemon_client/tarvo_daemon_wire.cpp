#include "daemon_client/tarvo_daemon_wire.h"

namespace brellis::daemon_client {

namespace {

namespace xpc = platform::xpc;
using xpc::ValueKind;

// Seconds between 1970-01-01 and 2001-01-01, the epoch of dates on the wire.
constexpr double kSecondsFrom1970To2001 = 978307200.0;

}  // namespace

xpc::ArgType wireType(WireKind kind, bool inReply) {
  auto make = [inReply](ValueKind k, bool nullable = false) {
    return xpc::ArgType{k, nullable || inReply};
  };
  switch (kind) {
    case WireKind::string:
      return make(ValueKind::string);
    case WireKind::optionalString:
      return make(ValueKind::string, true);
    case WireKind::bytes:
      return make(ValueKind::data);
    case WireKind::endpoint:
      return make(ValueKind::endpoint);
    case WireKind::number:
      // Any number, as it came: a boxed number travels as int64, uint64, double or bool.
      return xpc::ArgType{ValueKind::real, inReply, true};
    case WireKind::fileHandle:
      return make(ValueKind::fd);
    case WireKind::url:
      return make(ValueKind::string);
    case WireKind::date:
      return make(ValueKind::date);
    case WireKind::float64:
      return make(ValueKind::real);
    case WireKind::bytesList:
    case WireKind::stringList:
      return make(ValueKind::array);
    case WireKind::stringListsDict:
      return make(ValueKind::dict);
    case WireKind::error:
      return make(ValueKind::error, true);
  }
  return make(ValueKind::null, true);
}

std::shared_ptr<const xpc::InterfaceDescription> tarvoDaemonInterfaceDescription() {
  static const auto description = [] {
    std::vector<xpc::MethodDescription> methods;
    for (const auto& row : operations()) {
      xpc::MethodDescription method;
      method.selector = std::string(row.selector);
      for (WireKind kind : row.arguments.span()) method.arguments.push_back(wireType(kind, false));
      std::vector<xpc::ArgType> reply;
      for (WireKind kind : row.reply.span()) reply.push_back(wireType(kind, true));
      method.reply = std::move(reply);
      methods.push_back(std::move(method));
    }
    return std::make_shared<const xpc::InterfaceDescription>(std::string(kTarvoDaemonInterfaceName),
                                                             std::move(methods));
  }();
  return description;
}

Value toWire(const std::string& value) { return Value::string(value); }
Value toWire(const std::optional<std::string>& value) {
  return value ? Value::string(*value) : Value::null();
}
Value toWire(const Bytes& value) { return Value::data(value); }
Value toWire(const Endpoint& value) { return Value::endpoint(value); }
Value toWire(double value) { return Value::real(value); }
Value toWire(const Date& value) {
  double unix = std::chrono::duration<double>(value.time_since_epoch()).count();
  return Value::date(platform::foundation::PlistDate{unix - kSecondsFrom1970To2001});
}
Value toWire(const std::vector<Bytes>& value) {
  xpc::ValueArray array;
  for (const auto& item : value) array.push_back(Value::data(item));
  return Value::array(std::move(array));
}
Value toWire(const std::vector<std::string>& value) {
  xpc::ValueArray array;
  for (const auto& item : value) array.push_back(Value::string(item));
  return Value::array(std::move(array));
}
Value toWire(const StringListsDictionary& value) {
  xpc::ValueDict dict;
  for (const auto& [key, list] : value) dict.emplace_back(key, toWire(list));
  return Value::dict(std::move(dict));
}

Date dateFromWire(const platform::foundation::PlistDate& date) {
  auto seconds = std::chrono::duration<double>(date.secondsSince2001 + kSecondsFrom1970To2001);
  return Date(std::chrono::duration_cast<Date::duration>(seconds));
}

}  // namespace brellis::daemon_client
