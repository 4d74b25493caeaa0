#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/plist_value.h"

namespace brellis::connectivity_protocol {

// The inputs of a key exchange carried by a request. Every field can be replaced.
class KeyExchangeParams {
 public:
  KeyExchangeParams(platform::foundation::Bytes otherPublicCert, int64_t requestedSize,
                    std::optional<platform::foundation::Bytes> sharedInfo)
      : otherPublicCert_(std::move(otherPublicCert)),
        requestedSize_(requestedSize),
        sharedInfo_(std::move(sharedInfo)) {}

  const platform::foundation::Bytes& otherPublicCert() const { return otherPublicCert_; }
  int64_t requestedSize() const { return requestedSize_; }
  const std::optional<platform::foundation::Bytes>& sharedInfo() const { return sharedInfo_; }
  void setOtherPublicCert(platform::foundation::Bytes value) {
    otherPublicCert_ = std::move(value);
  }
  void setRequestedSize(int64_t value) { requestedSize_ = value; }
  void setSharedInfo(std::optional<platform::foundation::Bytes> value) {
    sharedInfo_ = std::move(value);
  }

  // {"otherPublicCert": data, "requestedSize": integer, "sharedInfo": data (only when present)}.
  platform::foundation::PlistValue toPropertyList() const;
  // Raises DecodingError.
  static KeyExchangeParams fromPropertyList(const platform::foundation::PlistValue& value,
                                            std::vector<std::string> codingPath = {});

  bool operator==(const KeyExchangeParams&) const = default;

 private:
  platform::foundation::Bytes otherPublicCert_;
  int64_t requestedSize_;
  std::optional<platform::foundation::Bytes> sharedInfo_;
};

}  // namespace brellis::connectivity_protocol
