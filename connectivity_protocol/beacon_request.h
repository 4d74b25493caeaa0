#pragma once

#include "platform/foundation/plist_value.h"
#include "platform/foundation/uuid.h"

namespace brellis::connectivity_protocol {

// Asks the phone about a beacon: {"uuid": UUID text}.
class BeaconRequest {
 public:
  explicit BeaconRequest(platform::foundation::Uuid uuid) : uuid_(uuid) {}

  const platform::foundation::Uuid& uuid() const { return uuid_; }

  platform::foundation::PlistValue toPropertyList() const;
  platform::foundation::Bytes encode() const;
  // Raise DecodingError.
  static BeaconRequest fromPropertyList(const platform::foundation::PlistValue& value);
  static BeaconRequest decode(const platform::foundation::Bytes& bytes);

  bool operator==(const BeaconRequest&) const = default;

 private:
  platform::foundation::Uuid uuid_;
};

}  // namespace brellis::connectivity_protocol
