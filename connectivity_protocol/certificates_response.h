#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <tl/expected.hpp>

#include "connectivity_protocol/connectivity_error.h"
#include "connectivity_protocol/unlock_version.h"
#include "platform/foundation/plist_value.h"
#include "platform/foundation/uuid.h"

namespace brellis::connectivity_protocol {

// The phone's certificates, each under its integer identifier.
using Certificates = std::map<int64_t, platform::foundation::Bytes>;
using CertificatesResult = tl::expected<Certificates, ConnectivityError>;

// The phone's answer to a CertificatesRequest. Only `result` can be replaced.
class CertificatesResponse {
 public:
  // The name a response without a usable "deviceName" reads with.
  static constexpr const char* kDefaultDeviceName = "iOS device";

  CertificatesResponse(platform::foundation::Uuid tag, std::string deviceName,
                       CertificatesResult result, UnlockVersion unlockVersion)
      : tag_(tag),
        deviceName_(std::move(deviceName)),
        result_(std::move(result)),
        unlockVersion_(unlockVersion) {}

  const platform::foundation::Uuid& tag() const { return tag_; }
  const std::string& deviceName() const { return deviceName_; }
  const CertificatesResult& result() const { return result_; }
  void setResult(CertificatesResult result) { result_ = std::move(result); }
  UnlockVersion unlockVersion() const { return unlockVersion_; }

  // {"tag", "deviceName" (also when empty), "result", then "success" (a dictionary from the
  // decimal text of each identifier to data) or "failure", "unlockVersion"}.
  platform::foundation::PlistValue toPropertyList() const;
  platform::foundation::Bytes encode() const;
  // Reads "tag", "deviceName" leniently, "result", the named payload, "unlockVersion"
  // leniently. A certificate key that is not the decimal text of a 64-bit integer, or two keys
  // naming the same integer ("7" and "07"), fail the decoding. Raise DecodingError.
  static CertificatesResponse fromPropertyList(const platform::foundation::PlistValue& value);
  static CertificatesResponse decode(const platform::foundation::Bytes& bytes);

  bool operator==(const CertificatesResponse&) const = default;

 private:
  platform::foundation::Uuid tag_;
  std::string deviceName_;
  CertificatesResult result_;
  UnlockVersion unlockVersion_;
};

// A signed 64-bit decimal: optional sign, one or more ASCII digits, nothing else, in range.
std::optional<int64_t> parseDecimalInt64(std::string_view text);

}  // namespace brellis::connectivity_protocol
