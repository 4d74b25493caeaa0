#include "beacon/beacon_data.h"

#include <algorithm>

#include "platform/core_bluetooth/manager_state.h"

namespace brellis::beacon {

using platform::foundation::Bytes;

Bytes BeaconData::payload() const {
  Bytes bytes(platform::core_bluetooth::kBeaconPayloadSize, 0);
  std::copy(uuid_.bytes().begin(), uuid_.bytes().end(), bytes.begin());
  bytes[16] = static_cast<uint8_t>(major_ >> 8);
  bytes[17] = static_cast<uint8_t>(major_ & 0xFF);
  bytes[18] = static_cast<uint8_t>(minor_ >> 8);
  bytes[19] = static_cast<uint8_t>(minor_ & 0xFF);
  bytes[20] = static_cast<uint8_t>(measuredPower_);
  return bytes;
}

platform::foundation::PlistDict BeaconData::advertisementData() const {
  platform::foundation::PlistDict dict;
  dict.set(platform::core_bluetooth::kAdvertisementDataAppleBeaconKey, payload());
  return dict;
}

std::string BeaconData::description() const {
  return "uuid: " + uuid_.string() + ", major: " + std::to_string(major_) +
         ", minor: " + std::to_string(minor_) +
         ", measuredPower: " + std::to_string(static_cast<int>(measuredPower_)) + "\n";
}

}  // namespace brellis::beacon
