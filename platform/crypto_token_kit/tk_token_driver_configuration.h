#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "platform/crypto_token_kit/tk_token_configuration.h"

namespace brellis::platform::crypto_token_kit {

// The configuration of one token driver class (TKTokenDriverConfiguration): a handle onto the
// class's file in the shared store, usable from any thread and any process. Nothing is cached.
class TKTokenDriverConfiguration {
 public:
  // Every registered class, keyed by its class identifier.
  static std::map<std::string, TKTokenDriverConfiguration> driverConfigurations();
  // Registers a driver class (what installing a token plug-in does); false when the identifier
  // is unsafe as a file name or the store cannot be written.
  static bool registerDriverClass(std::string_view classID);

  const std::string& classID() const { return classID_; }

  // The class's token instances, keyed by instance identifier.
  std::map<std::string, TKTokenConfiguration> tokenConfigurations() const;
  // Creates the instance, or replaces an existing one by a fresh one without keychain items.
  TKTokenConfiguration addTokenConfigurationForTokenInstanceID(const std::string& instanceID) const;
  // Removes the instance; nothing happens when it does not exist.
  void removeTokenConfigurationForTokenInstanceID(const std::string& instanceID) const;

 private:
  explicit TKTokenDriverConfiguration(std::string classID) : classID_(std::move(classID)) {}
  std::string classID_;
};

}  // namespace brellis::platform::crypto_token_kit
