#pragma once

#include <cstdint>

#include "platform/crypto_token_kit/tk_token_keychain_item.h"

namespace brellis::token_host {

// The one token configuration that the main program installs (in the driver class of
// DriverDomain::brellis) and the token plug-in removes: its instance identifier and what its
// two keychain items carry.
inline constexpr const char* tokenInstanceID = "UnlockToken";
inline constexpr const char* keyLabel = "Unlock-Key";
inline constexpr const char* certificateLabel = "VelkorUnlock";
// The key item's object ID (a number); the certificate item's object ID is this tag's BER-TLV
// encoding, the bytes 5F C1 00.
inline constexpr int64_t keyObjectID = 0x5FC100;
inline constexpr const char* pinConstraint = "PINAlways";

// Operations 0 to 4 (none, read, sign, decrypt, key exchange), each constrained by
// `pinConstraint`, whatever the unlock data says about the PIN (the token plug-in applies that
// itself). Made once per process.
const platform::crypto_token_kit::TKTokenOperationConstraints& keyConstraints();

}  // namespace brellis::token_host
