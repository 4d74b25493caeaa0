#include "testing/codesign/test_certificate_authority.h"

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>

#include "platform/crypto/crypto.h"
#include "platform/security/code_signature.h"

namespace brellis::testing::codesign {
namespace {

using KeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using CertPtr = std::unique_ptr<X509, decltype(&X509_free)>;
using BioPtr = std::unique_ptr<BIO, decltype(&BIO_free)>;

void check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test certificate: ") + what);
}

KeyPtr newKey() {
  KeyPtr key(EVP_EC_gen("P-256"), &EVP_PKEY_free);
  check(key != nullptr, "key generation");
  return key;
}

std::string keyToPem(EVP_PKEY* key) {
  BioPtr bio(BIO_new(BIO_s_mem()), &BIO_free);
  check(PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
        "key PEM");
  char* data = nullptr;
  long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(length));
}

KeyPtr keyFromPem(const std::string& pem) {
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), &BIO_free);
  KeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr), &EVP_PKEY_free);
  check(key != nullptr, "key from PEM");
  return key;
}

CertPtr certFromDer(const Bytes& der) {
  const unsigned char* cursor = der.data();
  CertPtr cert(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())), &X509_free);
  check(cert != nullptr, "certificate from DER");
  return cert;
}

Bytes certToDer(X509* cert) {
  unsigned char* out = nullptr;
  int length = i2d_X509(cert, &out);
  check(length > 0, "certificate DER");
  Bytes der(out, out + length);
  OPENSSL_free(out);
  return der;
}

std::string certToPem(const Bytes& der) {
  CertPtr cert = certFromDer(der);
  BioPtr bio(BIO_new(BIO_s_mem()), &BIO_free);
  check(PEM_write_bio_X509(bio.get(), cert.get()) == 1, "certificate PEM");
  char* data = nullptr;
  long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(length));
}

Bytes certFromPem(const std::string& pem) {
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), &BIO_free);
  CertPtr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr), &X509_free);
  check(cert != nullptr, "certificate from PEM");
  return certToDer(cert.get());
}

void addConfExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  check(extension != nullptr, "extension");
  X509_add_ext(cert, extension, -1);
  X509_EXTENSION_free(extension);
}

void addMarkerExtension(X509* cert, const std::string& oid) {
  ASN1_OBJECT* object = OBJ_txt2obj(oid.c_str(), 1);
  check(object != nullptr, "OID");
  static const unsigned char kAsn1Null[] = {0x05, 0x00};
  ASN1_OCTET_STRING* value = ASN1_OCTET_STRING_new();
  ASN1_OCTET_STRING_set(value, kAsn1Null, sizeof(kAsn1Null));
  X509_EXTENSION* extension = X509_EXTENSION_create_by_OBJ(nullptr, object, 0, value);
  check(extension != nullptr, "marker extension");
  X509_add_ext(cert, extension, -1);
  X509_EXTENSION_free(extension);
  ASN1_OCTET_STRING_free(value);
  ASN1_OBJECT_free(object);
}

struct Subject {
  std::string commonName;
  std::string organizationalUnit;
};

// Makes a certificate for `key`, signed by `issuerKey` (self-signed when `issuerDer` is empty).
Bytes makeCertificate(EVP_PKEY* key, const Subject& subject, bool isCa, EVP_PKEY* issuerKey,
                      const Bytes& issuerDer, const std::vector<std::string>& markers) {
  CertPtr cert(X509_new(), &X509_free);
  check(cert != nullptr, "X509_new");
  X509_set_version(cert.get(), 2);
  unsigned char serial[16];
  check(RAND_bytes(serial, sizeof(serial)) == 1, "serial");
  serial[0] &= 0x7f;
  BIGNUM* number = BN_bin2bn(serial, sizeof(serial), nullptr);
  BN_to_ASN1_INTEGER(number, X509_get_serialNumber(cert.get()));
  BN_free(number);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 60L * 60 * 24 * 365 * 5);
  X509_set_pubkey(cert.get(), key);
  X509_NAME* name = X509_get_subject_name(cert.get());
  auto add = [name](const char* field, const std::string& value) {
    if (value.empty()) return;
    X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0);
  };
  add("CN", subject.commonName);
  add("OU", subject.organizationalUnit);
  add("O", "Brellis Test");
  add("C", "US");
  CertPtr issuer(nullptr, &X509_free);
  if (issuerDer.empty()) {
    X509_set_issuer_name(cert.get(), name);
  } else {
    issuer = certFromDer(issuerDer);
    X509_set_issuer_name(cert.get(), X509_get_subject_name(issuer.get()));
  }
  X509* issuerCert = issuer ? issuer.get() : cert.get();
  addConfExtension(cert.get(), issuerCert, NID_basic_constraints,
                   isCa ? "critical,CA:TRUE" : "critical,CA:FALSE");
  addConfExtension(cert.get(), issuerCert, NID_key_usage,
                   isCa ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature");
  addConfExtension(cert.get(), issuerCert, NID_subject_key_identifier, "hash");
  if (!isCa) addConfExtension(cert.get(), issuerCert, NID_ext_key_usage, "codeSigning");
  for (const std::string& oid : markers) addMarkerExtension(cert.get(), oid);
  check(X509_sign(cert.get(), issuerKey, EVP_sha256()) > 0, "X509_sign");
  return certToDer(cert.get());
}

std::string readText(const std::filesystem::path& path) {
  std::ifstream stream(path, std::ios::binary | std::ios::ate);
  check(static_cast<bool>(stream), "read file");
  std::string text(static_cast<size_t>(stream.tellg()), '\0');
  stream.seekg(0);
  stream.read(text.data(), static_cast<std::streamsize>(text.size()));
  check(static_cast<bool>(stream), "read file");
  return text;
}

void writeText(const std::filesystem::path& path, const std::string& text) {
  std::ofstream stream(path, std::ios::binary | std::ios::trunc);
  stream << text;
  check(static_cast<bool>(stream), "write file");
}

Bytes signWithKey(const std::string& privateKeyPem, const Bytes& data) {
  KeyPtr key = keyFromPem(privateKeyPem);
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                  &EVP_MD_CTX_free);
  check(EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) == 1,
        "sign init");
  size_t length = 0;
  check(EVP_DigestSign(context.get(), nullptr, &length, data.data(), data.size()) == 1, "sign");
  Bytes signature(length);
  check(EVP_DigestSign(context.get(), signature.data(), &length, data.data(), data.size()) == 1,
        "sign");
  signature.resize(length);
  return signature;
}

}  // namespace

LeafProfile LeafProfile::developerId() {
  return LeafProfile{"Developer ID Application: Velkor",
                     kTeamIdentifier,
                     {kDeveloperIdLeafOid},
                     Issuer::developerIdCa};
}

LeafProfile LeafProfile::development() {
  return LeafProfile{
      "Apple Development: Velkor", kTeamIdentifier, {kDevelopmentLeafOid}, Issuer::wwdrCa};
}

LeafProfile LeafProfile::macAppStore() {
  return LeafProfile{"Apple Mac OS Application Signing",
                     kOtherTeamIdentifier,
                     {kMacAppStoreLeafOid},
                     Issuer::wwdrCa};
}

LeafProfile LeafProfile::testFlight() {
  return LeafProfile{
      "TestFlight Beta Distribution", kOtherTeamIdentifier, {kTestFlightLeafOid}, Issuer::wwdrCa};
}

LeafProfile LeafProfile::plain() {
  return LeafProfile{"Plain Signing", kTeamIdentifier, {}, Issuer::wwdrCa};
}

LeafProfile LeafProfile::named(const std::string& name) {
  if (name == "developer-id") return developerId();
  if (name == "development") return development();
  if (name == "mac-app-store") return macAppStore();
  if (name == "testflight") return testFlight();
  if (name == "plain") return plain();
  throw std::invalid_argument("unknown profile: " + name);
}

TestCertificateAuthority TestCertificateAuthority::create(const std::string& name) {
  TestCertificateAuthority ca;
  KeyPtr rootKey = newKey();
  ca.root_.certificateDer =
      makeCertificate(rootKey.get(), {name + " Root CA", ""}, true, rootKey.get(), {}, {});
  ca.root_.privateKeyPem = keyToPem(rootKey.get());
  auto intermediate = [&](const std::string& commonName, const char* marker) {
    KeyPtr key = newKey();
    Entity entity;
    entity.certificateDer = makeCertificate(key.get(), {commonName, ""}, true, rootKey.get(),
                                            ca.root_.certificateDer, {marker});
    entity.privateKeyPem = keyToPem(key.get());
    return entity;
  };
  ca.developerIdCa_ =
      intermediate(name + " Developer ID Certification Authority", kDeveloperIdCaOid);
  ca.wwdrCa_ = intermediate(name + " Worldwide Developer Relations", kWwdrCaOid);
  return ca;
}

void TestCertificateAuthority::save(const std::filesystem::path& directory) const {
  std::filesystem::create_directories(directory);
  const std::pair<const char*, const Entity*> entities[] = {
      {"root", &root_}, {"developer-id-ca", &developerIdCa_}, {"wwdr-ca", &wwdrCa_}};
  for (const auto& [name, entity] : entities) {
    writeText(directory / (std::string(name) + ".pem"), certToPem(entity->certificateDer));
    writeText(directory / (std::string(name) + ".key.pem"), entity->privateKeyPem);
    std::filesystem::permissions(
        directory / (std::string(name) + ".key.pem"),
        std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  }
}

TestCertificateAuthority TestCertificateAuthority::load(const std::filesystem::path& directory) {
  TestCertificateAuthority ca;
  const std::pair<const char*, Entity*> entities[] = {
      {"root", &ca.root_}, {"developer-id-ca", &ca.developerIdCa_}, {"wwdr-ca", &ca.wwdrCa_}};
  for (const auto& [name, entity] : entities) {
    entity->certificateDer = certFromPem(readText(directory / (std::string(name) + ".pem")));
    entity->privateKeyPem = readText(directory / (std::string(name) + ".key.pem"));
  }
  return ca;
}

const TestCertificateAuthority::Entity& TestCertificateAuthority::issuerOf(Issuer issuer) const {
  switch (issuer) {
    case Issuer::developerIdCa:
      return developerIdCa_;
    case Issuer::wwdrCa:
      return wwdrCa_;
    case Issuer::root:
      return root_;
  }
  return root_;
}

SigningIdentity TestCertificateAuthority::issueLeaf(const LeafProfile& profile) const {
  const Entity& issuer = issuerOf(profile.issuer);
  KeyPtr issuerKey = keyFromPem(issuer.privateKeyPem);
  KeyPtr key = newKey();
  SigningIdentity identity;
  identity.chain.push_back(
      makeCertificate(key.get(), {profile.commonName, profile.organizationalUnit}, false,
                      issuerKey.get(), issuer.certificateDer, profile.extensionOids));
  if (profile.issuer != Issuer::root) identity.chain.push_back(issuer.certificateDer);
  identity.privateKeyPem = keyToPem(key.get());
  return identity;
}

void TestCertificateAuthority::installAnchor(const std::filesystem::path& stateRoot,
                                             const std::string& fileName) const {
  std::filesystem::path directory = stateRoot / "security" / "anchors";
  std::filesystem::create_directories(directory);
  writeText(directory / fileName, certToPem(root_.certificateDer));
}

void signExecutable(const std::filesystem::path& executable, const std::string& identifier,
                    const std::string& version, const SigningIdentity& identity) {
  std::string bytes = readText(executable);
  Bytes hash = platform::crypto::sha256(bytes.data(), bytes.size());
  platform::foundation::PlistDict info;
  info.set("CFBundleIdentifier", identifier);
  info.set("CFBundleShortVersionString", version);
  Bytes file = platform::security::encodeCodeSignature(
      identifier, info, hash, identity.chain, [&identity](const Bytes& signedData) {
        return signWithKey(identity.privateKeyPem, signedData);
      });
  writeText(platform::security::signaturePath(executable), std::string(file.begin(), file.end()));
}

}  // namespace brellis::testing::codesign
