#include "connectivity_protocol/certificates_request.h"

#include "connectivity_protocol/record_keys.h"
#include "connectivity_protocol/record_reader.h"

namespace brellis::connectivity_protocol {

namespace fnd = platform::foundation;

fnd::PlistValue CertificatesRequest::toPropertyList() const {
  fnd::PlistDict dict;
  dict.set(keys::kTag, tag_.string());
  dict.set(keys::kEphemeralKey, ephemeralKey_);
  return dict;
}

fnd::Bytes CertificatesRequest::encode() const { return writeRecord(toPropertyList()); }

CertificatesRequest CertificatesRequest::fromPropertyList(const fnd::PlistValue& value) {
  RecordReader reader(value);
  fnd::Uuid tag = reader.uuid(keys::kTag);
  return CertificatesRequest(tag, reader.data(keys::kEphemeralKey));
}

CertificatesRequest CertificatesRequest::decode(const fnd::Bytes& bytes) {
  return fromPropertyList(readRecord(bytes));
}

}  // namespace brellis::connectivity_protocol
