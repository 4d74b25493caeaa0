#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "daemon_client/daemon_values.h"
#include "daemon_client/tarvo_daemon_interface.h"
#include "platform/xpc/interface_description.h"
#include "platform/xpc/value.h"

namespace brellis::daemon_client {

using platform::xpc::Value;

// The XPC description of TarvoDaemonInterface, derived from the operation table: the client's
// proxy and the daemon's dispatcher check every message against it. Every reply value may be
// absent; a number may travel as any numeric kind (int64, uint64, double or bool).
std::shared_ptr<const platform::xpc::InterfaceDescription> tarvoDaemonInterfaceDescription();
platform::xpc::ArgType wireType(WireKind kind, bool inReply);

// Argument conversion to the wire forms.
Value toWire(const std::string& value);
Value toWire(const std::optional<std::string>& value);  // absent is nil
Value toWire(const Bytes& value);
Value toWire(const Endpoint& value);
Value toWire(double value);
Value toWire(const Date& value);
Value toWire(const std::vector<Bytes>& value);
Value toWire(const std::vector<std::string>& value);
Value toWire(const StringListsDictionary& value);
Date dateFromWire(const platform::foundation::PlistDate& date);

}  // namespace brellis::daemon_client
