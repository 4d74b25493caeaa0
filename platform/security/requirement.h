#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/security/signing_information.h"

namespace brellis::platform::security {

struct RequirementNode;

// A compiled code-signing requirement (SecRequirement). The language understood:
//   identifier "com.x"            identifier = "com.x"
//   info [Key] >= "1.2"           also =, <, <=, >, and `exists`; versions compare numerically
//                                 per dot-separated component
//   anchor apple                  anchor apple generic   (the chain ends in a configured anchor)
//   certificate leaf|root|N[subject.OU] = "..."          (also CN, O, C, L, ST, emailAddress)
//   certificate leaf|root|N[field.1.2.3] exists         (also with /* exists */ style comments)
//   and, or, !, parentheses; `//` line comments and `/* */` block comments.
// `!` binds tightest, then `and`, then `or`. Strings are double-quoted (with \" and \\ escapes)
// or bare words of letters, digits and ".-_".
// Immutable after compilation; copies share the compiled tree and may be used from any thread.
class Requirement {
 public:
  // Throws SecurityError(errSecCSReqInvalid) with a message naming the offset and the problem.
  static Requirement compile(std::string_view text);

  // The text that was compiled, unchanged.
  const std::string& text() const { return text_; }

  // True when the signed code described by `info` satisfies the requirement.
  bool isSatisfiedBy(const SigningInformation& info) const;

 private:
  Requirement(std::string text, std::shared_ptr<const RequirementNode> root);

  std::string text_;
  std::shared_ptr<const RequirementNode> root_;
};

}  // namespace brellis::platform::security
