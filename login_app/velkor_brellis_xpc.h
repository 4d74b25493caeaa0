#pragma once

#include <memory>

#include "platform/xpc/interface_description.h"

namespace brellis::login_app {

// The interface the main program serves on its anonymous listener for the login-window side:
//   startBeaconForAccount:completion:  (NSString account) -> reply (NSError or nil)
//   stopBeaconWithCompletion:          ()                 -> reply ()
struct VelkorBrellisXPC {
  static constexpr const char* kName = "VelkorBrellisXPC";
  static constexpr const char* kStartBeaconSelector = "startBeaconForAccount:completion:";
  static constexpr const char* kStopBeaconSelector = "stopBeaconWithCompletion:";

  static std::shared_ptr<const platform::xpc::InterfaceDescription> description();
};

}  // namespace brellis::login_app
