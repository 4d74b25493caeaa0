#pragma once

#include "platform/foundation/plist_value.h"
#include "platform/foundation/uuid.h"

namespace brellis::connectivity_protocol {

// Asks the phone for its certificates: {"tag": UUID text, "ephemeralKey": data (always)}.
class CertificatesRequest {
 public:
  CertificatesRequest(platform::foundation::Uuid tag, platform::foundation::Bytes ephemeralKey)
      : tag_(tag), ephemeralKey_(std::move(ephemeralKey)) {}

  const platform::foundation::Uuid& tag() const { return tag_; }
  const platform::foundation::Bytes& ephemeralKey() const { return ephemeralKey_; }

  platform::foundation::PlistValue toPropertyList() const;
  platform::foundation::Bytes encode() const;
  // Raise DecodingError.
  static CertificatesRequest fromPropertyList(const platform::foundation::PlistValue& value);
  static CertificatesRequest decode(const platform::foundation::Bytes& bytes);

  bool operator==(const CertificatesRequest&) const = default;

 private:
  platform::foundation::Uuid tag_;
  platform::foundation::Bytes ephemeralKey_;
};

}  // namespace brellis::connectivity_protocol
