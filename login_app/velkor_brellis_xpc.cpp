#include "login_app/velkor_brellis_xpc.h"

namespace brellis::login_app {

std::shared_ptr<const platform::xpc::InterfaceDescription> VelkorBrellisXPC::description() {
  using platform::xpc::ValueKind;
  static const auto interface = std::make_shared<const platform::xpc::InterfaceDescription>(
      kName,
      std::vector<platform::xpc::MethodDescription>{
          {kStartBeaconSelector,
           {platform::xpc::arg(ValueKind::string)},
           std::vector<platform::xpc::ArgType>{platform::xpc::nullableArg(ValueKind::error)}},
          {kStopBeaconSelector, {}, std::vector<platform::xpc::ArgType>{}},
      });
  return interface;
}

}  // namespace brellis::login_app
