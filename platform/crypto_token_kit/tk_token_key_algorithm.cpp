#include "platform/crypto_token_kit/tk_token_key_algorithm.h"

#include <algorithm>

namespace brellis::platform::crypto_token_kit {

bool TKTokenKeyAlgorithm::isAlgorithm(std::string_view algorithm) const {
  return !chain_.empty() && chain_.back() == algorithm;
}

bool TKTokenKeyAlgorithm::supportsAlgorithm(std::string_view algorithm) const {
  return std::find(chain_.begin(), chain_.end(), algorithm) != chain_.end();
}

}  // namespace brellis::platform::crypto_token_kit
