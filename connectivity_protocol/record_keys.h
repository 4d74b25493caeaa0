#pragma once

// The dictionary keys of the phone records. A record field is written under the key of its own
// name; the keys shared by several records live here once.
namespace brellis::connectivity_protocol::keys {

inline constexpr const char* kTag = "tag";
inline constexpr const char* kUsage = "usage";
inline constexpr const char* kData = "data";
inline constexpr const char* kCertID = "certID";
inline constexpr const char* kPin = "pin";
inline constexpr const char* kEphemeralKey = "ephemeralKey";
inline constexpr const char* kKeyExchangeParams = "keyExchangeParams";
inline constexpr const char* kOtherPublicCert = "otherPublicCert";
inline constexpr const char* kRequestedSize = "requestedSize";
inline constexpr const char* kSharedInfo = "sharedInfo";
inline constexpr const char* kUuid = "uuid";
inline constexpr const char* kDeviceName = "deviceName";
inline constexpr const char* kResult = "result";
inline constexpr const char* kSuccess = "success";
inline constexpr const char* kFailure = "failure";
inline constexpr const char* kUnlockVersion = "unlockVersion";

}  // namespace brellis::connectivity_protocol::keys
