#pragma once

#include <cstdint>
#include <optional>

#include "group_defaults/group_defaults.h"
#include "platform/crypto_token_kit/tk_token_keychain_item.h"
#include "platform/os_log/logger.h"

namespace brellis::token_host {

// The constants of the one token configuration that the main program installs.
struct TokenHost {
  static constexpr const char* tokenInstanceID = "UnlockToken";
  static constexpr const char* keyLabel = "Unlock-Key";
  static constexpr const char* certificateLabel = "VelkorUnlock";
  // The key item's object ID (a number); the certificate item's object ID is this tag's BER-TLV
  // encoding, the bytes 5F C1 00.
  static constexpr int64_t keyObjectID = 0x5FC100;
  static constexpr const char* pinConstraint = "PINAlways";

  // Operations 0 to 4 (none, read, sign, decrypt, key exchange), each constrained by
  // `pinConstraint`, whatever the unlock data says about the PIN (the token plug-in applies
  // that itself). Made once per process.
  static const platform::crypto_token_kit::TKTokenOperationConstraints& keyConstraints();
  // The application-group suite the writers use; made once per process, absent when the
  // platform refuses the suite.
  static const std::optional<group_defaults::GroupDefaults>& groupDefaults();
  // The helpers' log: subsystem = the main bundle's identifier (empty without one), category
  // "TokenUtilities"; made once per process.
  static const platform::os_log::Logger& log();
};

}  // namespace brellis::token_host
