#include "connectivity_protocol/key_exchange_params.h"

#include "connectivity_protocol/record_keys.h"
#include "connectivity_protocol/record_reader.h"

namespace brellis::connectivity_protocol {

namespace fnd = platform::foundation;

fnd::PlistValue KeyExchangeParams::toPropertyList() const {
  fnd::PlistDict dict;
  dict.set(keys::kOtherPublicCert, otherPublicCert_);
  dict.set(keys::kRequestedSize, requestedSize_);
  if (sharedInfo_) dict.set(keys::kSharedInfo, *sharedInfo_);
  return dict;
}

KeyExchangeParams KeyExchangeParams::fromPropertyList(const fnd::PlistValue& value,
                                                      std::vector<std::string> codingPath) {
  RecordReader reader(value, std::move(codingPath));
  fnd::Bytes otherPublicCert = reader.data(keys::kOtherPublicCert);
  int64_t requestedSize = reader.int64(keys::kRequestedSize);
  std::optional<fnd::Bytes> sharedInfo = reader.optionalData(keys::kSharedInfo);
  return KeyExchangeParams(std::move(otherPublicCert), requestedSize, std::move(sharedInfo));
}

}  // namespace brellis::connectivity_protocol
