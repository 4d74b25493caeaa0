#include "platform/security/x509_certificate.h"

#include <openssl/objects.h>
#include <openssl/x509v3.h>

#include <cctype>

namespace brellis::platform::security {

X509Certificate::X509Certificate(X509* x509) : x509_(x509, &X509_free) {}

std::optional<X509Certificate> X509Certificate::fromDer(const foundation::Bytes& der) {
  if (der.empty() || der.size() > 1 << 20) return std::nullopt;
  const unsigned char* cursor = der.data();
  X509* x509 = d2i_X509(nullptr, &cursor, static_cast<long>(der.size()));
  if (x509 == nullptr) return std::nullopt;
  X509Certificate certificate(x509);
  if (cursor != der.data() + der.size()) return std::nullopt;
  return certificate;
}

foundation::Bytes X509Certificate::der() const {
  unsigned char* out = nullptr;
  int length = i2d_X509(x509_.get(), &out);
  if (length <= 0) return {};
  foundation::Bytes bytes(out, out + length);
  OPENSSL_free(out);
  return bytes;
}

std::vector<std::string> X509Certificate::subjectValues(int nid) const {
  std::vector<std::string> values;
  X509_NAME* name = X509_get_subject_name(x509_.get());
  if (name == nullptr) return values;
  for (int index = X509_NAME_get_index_by_NID(name, nid, -1); index >= 0;
       index = X509_NAME_get_index_by_NID(name, nid, index)) {
    X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, index);
    unsigned char* utf8 = nullptr;
    int length = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(entry));
    if (length < 0) continue;
    values.emplace_back(reinterpret_cast<const char*>(utf8), static_cast<size_t>(length));
    OPENSSL_free(utf8);
  }
  return values;
}

bool X509Certificate::hasExtension(std::string_view dottedOid) const {
  if (!isDottedOid(dottedOid)) return false;
  std::string text(dottedOid);
  ASN1_OBJECT* object = OBJ_txt2obj(text.c_str(), 1);
  if (object == nullptr) return false;
  bool found = X509_get_ext_by_OBJ(x509_.get(), object, -1) >= 0;
  ASN1_OBJECT_free(object);
  return found;
}

int subjectAttributeNid(std::string_view name) {
  if (name == "CN") return NID_commonName;
  if (name == "OU") return NID_organizationalUnitName;
  if (name == "O") return NID_organizationName;
  if (name == "C") return NID_countryName;
  if (name == "L") return NID_localityName;
  if (name == "ST") return NID_stateOrProvinceName;
  if (name == "emailAddress") return NID_pkcs9_emailAddress;
  return 0;
}

bool isDottedOid(std::string_view text) {
  if (text.empty() || text.size() > 200) return false;
  size_t arcs = 0;
  size_t digits = 0;
  for (char c : text) {
    if (c == '.') {
      if (digits == 0) return false;
      ++arcs;
      digits = 0;
    } else if (std::isdigit(static_cast<unsigned char>(c))) {
      if (++digits > 20) return false;
    } else {
      return false;
    }
  }
  return digits > 0 && arcs >= 1;
}

}  // namespace brellis::platform::security
