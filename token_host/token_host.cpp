#include "token_host/token_host.h"

#include "platform/foundation/main_bundle.h"

namespace brellis::token_host {

namespace {
constexpr const char* kLogCategory = "TokenUtilities";
}  // namespace

const platform::crypto_token_kit::TKTokenOperationConstraints& TokenHost::keyConstraints() {
  using platform::crypto_token_kit::TKTokenOperation;
  static const platform::crypto_token_kit::TKTokenOperationConstraints constraints = [] {
    platform::crypto_token_kit::TKTokenOperationConstraints table;
    for (auto operation :
         {TKTokenOperation::none, TKTokenOperation::readData, TKTokenOperation::signData,
          TKTokenOperation::decryptData, TKTokenOperation::performKeyExchange}) {
      table[static_cast<int64_t>(operation)] = platform::foundation::PlistValue(pinConstraint);
    }
    return table;
  }();
  return constraints;
}

const std::optional<group_defaults::GroupDefaults>& TokenHost::groupDefaults() {
  static const std::optional<group_defaults::GroupDefaults> defaults =
      group_defaults::GroupDefaults::init(group_defaults::GroupDefaults::name);
  return defaults;
}

const platform::os_log::Logger& TokenHost::log() {
  static const platform::os_log::Logger logger(platform::foundation::mainBundleIdentifier(),
                                               kLogCategory);
  return logger;
}

}  // namespace brellis::token_host
