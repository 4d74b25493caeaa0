#pragma once

#include <optional>
#include <set>
#include <string>

#include "login_app/complexity_policy.h"
#include "login_app/password_validation.h"
#include "platform/os_log/logger.h"

namespace brellis::login_app {

// A password policy: the character classes and the complexity record it checks against.
// This program defines neither its initialiser nor the bodies of PasswordValidation, so the
// class stays abstract; only its layout is fixed here.
class ZevraPasswordPolicy : public PasswordValidation {
 public:
  // The character classes: upper-case letters, lower-case letters, digits, symbols.
  const std::set<char32_t> caps;
  const std::set<char32_t> lowers;
  const std::set<char32_t> numbers;
  const std::set<char32_t> symbols;
  const platform::os_log::Logger log;
  ComplexityPolicy policyObject;
  std::optional<std::string> mandatoryRequirement;

 protected:
  ZevraPasswordPolicy(std::set<char32_t> caps, std::set<char32_t> lowers,
                      std::set<char32_t> numbers, std::set<char32_t> symbols,
                      platform::os_log::Logger log, ComplexityPolicy policyObject)
      : caps(std::move(caps)),
        lowers(std::move(lowers)),
        numbers(std::move(numbers)),
        symbols(std::move(symbols)),
        log(std::move(log)),
        policyObject(std::move(policyObject)) {}
};

}  // namespace brellis::login_app
