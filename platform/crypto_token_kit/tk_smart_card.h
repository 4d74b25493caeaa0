#pragma once

#include <string>

namespace brellis::platform::crypto_token_kit {

// A smart card in a reader slot. The token plug-ins of this system hold no physical card: the
// object only stands for the card a token was made from.
class TKSmartCard {
 public:
  TKSmartCard() = default;
  explicit TKSmartCard(std::string slotName) : slotName_(std::move(slotName)) {}
  const std::string& slotName() const { return slotName_; }

 private:
  std::string slotName_;
};

}  // namespace brellis::platform::crypto_token_kit
