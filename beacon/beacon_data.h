#pragma once

#include <cstdint>
#include <string>

#include "platform/foundation/plist_value.h"
#include "platform/foundation/uuid.h"

namespace brellis::beacon {

// One Bluetooth LE beacon: what is advertised. A plain value; no checks.
class BeaconData {
 public:
  BeaconData(platform::foundation::Uuid uuid, uint16_t major, uint16_t minor, int8_t measuredPower)
      : uuid_(uuid), major_(major), minor_(minor), measuredPower_(measuredPower) {}

  const platform::foundation::Uuid& uuid() const { return uuid_; }
  uint16_t major() const { return major_; }
  uint16_t minor() const { return minor_; }
  int8_t measuredPower() const { return measuredPower_; }

  // The 21 bytes on air: the UUID's bytes in text order, major and minor big-endian, the
  // measured power as a two's-complement byte.
  platform::foundation::Bytes payload() const;
  // The advertisement handed to the radio: the one beacon entry holding payload().
  platform::foundation::PlistDict advertisementData() const;
  // "uuid: <UUID>, major: <n>, minor: <n>, measuredPower: <n>\n", as the log lines show it.
  std::string description() const;

  bool operator==(const BeaconData&) const = default;

 private:
  platform::foundation::Uuid uuid_;
  uint16_t major_;
  uint16_t minor_;
  int8_t measuredPower_;
};

}  // namespace brellis::beacon
