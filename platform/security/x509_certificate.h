#pragma once

#include <openssl/x509.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/plist_value.h"

namespace brellis::platform::security {

// An X.509 certificate as code signing reads it (internal to this layer).
class X509Certificate {
 public:
  // Absent when `der` is not exactly one DER certificate (trailing bytes are refused).
  static std::optional<X509Certificate> fromDer(const foundation::Bytes& der);

  X509* get() const { return x509_.get(); }
  foundation::Bytes der() const;

  // Values of a subject attribute ("CN", "OU", "O", "C", "L", "ST", "emailAddress"), in order.
  std::vector<std::string> subjectValues(int nid) const;
  // True when the certificate carries an extension with the dotted OID.
  bool hasExtension(std::string_view dottedOid) const;

 private:
  explicit X509Certificate(X509* x509);
  std::shared_ptr<X509> x509_;
};

// The NID of a subject attribute name of the requirement language; 0 when unknown.
int subjectAttributeNid(std::string_view name);

// True when `text` is a dotted OID with at least two arcs.
bool isDottedOid(std::string_view text);

}  // namespace brellis::platform::security
