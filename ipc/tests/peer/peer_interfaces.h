#pragma once

// The interfaces served and called by the cross-process tests and their peer program. No
// GoogleTest here: the peer program includes it too.

#include <memory>
#include <vector>

#include "platform/xpc/interface_description.h"

namespace brellis::ipc::testing {

// A text that the peer program prints in its usage line, so that it sits in the program's file:
// the tests change one of its bytes to tamper with a signed copy without breaking the program.
inline constexpr char kPeerPatchableText[] =
    "ipc-test-peer: serve|broker <service> or client <broker>";

// echo: string -> string; hold: no arguments, a reply that the server keeps until released.
struct EchoInterface {
  static std::shared_ptr<const platform::xpc::InterfaceDescription> description() {
    using namespace platform::xpc;
    static auto d = std::make_shared<const InterfaceDescription>(
        "EchoInterface",
        std::vector<MethodDescription>{
            {"echo:reply:", {arg(ValueKind::string)}, std::vector{arg(ValueKind::string)}},
            {"hold:reply:", {}, std::vector{arg(ValueKind::string)}},
        });
    return d;
  }
};

// A broker that keeps one listener endpoint and hands it out, as the daemon keeps the
// program's anonymous listener endpoint for its other clients.
struct EndpointBrokerInterface {
  static std::shared_ptr<const platform::xpc::InterfaceDescription> description() {
    using namespace platform::xpc;
    static auto d = std::make_shared<const InterfaceDescription>(
        "EndpointBrokerInterface",
        std::vector<MethodDescription>{
            {"registerListenerEndpoint:reply:", {arg(ValueKind::endpoint)}, std::vector<ArgType>{}},
            {"listenerEndpoint:", {}, std::vector{nullableArg(ValueKind::endpoint)}},
        });
    return d;
  }
};

}  // namespace brellis::ipc::testing
