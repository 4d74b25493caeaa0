#pragma once

#include <optional>
#include <string>

namespace brellis::login_app {

// The password-checking interface of the password policies. Nothing in this program calls it
// and no implementation gives it a body.
class PasswordValidation {
 public:
  virtual ~PasswordValidation() = default;
  // Whether `password` meets the policy for the account `username`.
  virtual bool validatePassword(const std::string& password, const std::string& username) = 0;
  // The first requirement that `password` does not meet, if any.
  virtual std::optional<std::string> unmetRequirement(const std::string& password,
                                                      const std::string& username) = 0;
};

}  // namespace brellis::login_app
