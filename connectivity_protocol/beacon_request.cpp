#include "connectivity_protocol/beacon_request.h"

#include "connectivity_protocol/record_keys.h"
#include "connectivity_protocol/record_reader.h"

namespace brellis::connectivity_protocol {

namespace fnd = platform::foundation;

fnd::PlistValue BeaconRequest::toPropertyList() const {
  fnd::PlistDict dict;
  dict.set(keys::kUuid, uuid_.string());
  return dict;
}

fnd::Bytes BeaconRequest::encode() const { return writeRecord(toPropertyList()); }

BeaconRequest BeaconRequest::fromPropertyList(const fnd::PlistValue& value) {
  return BeaconRequest(RecordReader(value).uuid(keys::kUuid));
}

BeaconRequest BeaconRequest::decode(const fnd::Bytes& bytes) {
  return fromPropertyList(readRecord(bytes));
}

}  // namespace brellis::connectivity_protocol
