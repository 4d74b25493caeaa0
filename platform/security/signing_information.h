#pragma once

#include <string>
#include <vector>

#include "platform/foundation/plist_value.h"

namespace brellis::platform::security {

// What a verified signature tells about a program, and what a requirement is evaluated against.
struct SigningInformation {
  std::string identifier;
  foundation::PlistDict info;
  // DER certificates, leaf first. When `anchored` is true this is the chain that verified, ending
  // in the anchor; otherwise the chain as the signature carries it.
  std::vector<foundation::Bytes> certificates;
  // True when the chain verified up to a certificate of the anchor store.
  bool anchored = false;
};

}  // namespace brellis::platform::security
