#pragma once

#include <string>

#include "platform/foundation/error_record.h"

namespace brellis::login_app {

// Why a beacon start request was answered with an error of the beacon server itself. Bridges to
// the domain "Brellis.BeaconError" with the case's position as its code (0 to 3).
class BeaconError : public platform::foundation::BridgedError {
 public:
  enum class Code { corruptContainerUUIDString = 0, unlockDataDecodeFailed, timedOut, canceled };
  static constexpr const char* kDomain = "Brellis.BeaconError";

  // The container identifier text that does not parse as a UUID.
  static BeaconError corruptContainerUUIDString(std::string containerID);
  static BeaconError unlockDataDecodeFailed() { return BeaconError(Code::unlockDataDecodeFailed); }
  static BeaconError timedOut() { return BeaconError(Code::timedOut); }
  static BeaconError canceled() { return BeaconError(Code::canceled); }

  Code code() const { return code_; }
  const std::string& containerID() const { return containerID_; }

  // The payload of corruptContainerUUIDString travels as the record's NSDebugDescription (the
  // error's own form), so a client can read the offending text.
  platform::foundation::ErrorRecord toRecord() const override;
  // "corruptContainerUUIDString(\"<text>\")" (the text escaped as the platform's debug
  // description of a string escapes it), "unlockDataDecodeFailed", "timedOut", "canceled".
  std::string description() const override;

 private:
  explicit BeaconError(Code code, std::string containerID = {})
      : code_(code), containerID_(std::move(containerID)) {}
  Code code_;
  std::string containerID_;
};

}  // namespace brellis::login_app
