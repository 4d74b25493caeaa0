#include "platform/security/code_signature.h"

#include "platform/foundation/decoding_error.h"
#include "platform/foundation/plist_codec.h"

namespace brellis::platform::security {
namespace {

constexpr size_t kMaxSignatureFileSize = 1 << 20;
constexpr size_t kMaxCertificates = 8;
constexpr int64_t kFormat = 1;

constexpr const char* kFormatKey = "format";
constexpr const char* kSignedDataKey = "signedData";
constexpr const char* kSignatureKey = "signature";
constexpr const char* kIdentifierKey = "identifier";
constexpr const char* kInfoKey = "info";
constexpr const char* kExecutableHashKey = "executableHash";
constexpr const char* kCertificatesKey = "certificates";

[[noreturn]] void malformed(const std::string& why) {
  throw foundation::DecodingError(foundation::DecodingError::Kind::dataCorrupted, {},
                                  "malformed signature: " + why);
}

foundation::PlistValue readBounded(const foundation::Bytes& bytes) {
  foundation::PlistLimits limits;
  limits.maxInputBytes = kMaxSignatureFileSize;
  limits.maxDepth = 16;
  limits.maxObjects = 4096;
  if (bytes.size() > kMaxSignatureFileSize) malformed("too large");
  if (!foundation::looksLikeBinaryPlist(bytes)) malformed("not a binary property list");
  try {
    return foundation::readBinaryPlist(bytes, limits);
  } catch (const foundation::PlistError& error) {
    malformed(error.what());
  }
}

const foundation::PlistValue& required(const foundation::PlistDict& dict, const char* key) {
  const foundation::PlistValue* value = dict.find(key);
  if (value == nullptr) malformed(std::string("missing ") + key);
  return *value;
}

}  // namespace

std::filesystem::path signaturePath(const std::filesystem::path& executable) {
  std::filesystem::path path = executable;
  path += kSignatureSuffix;
  return path;
}

CodeSignature decodeCodeSignature(const foundation::Bytes& bytes) {
  foundation::PlistValue outer = readBounded(bytes);
  const foundation::PlistDict* outerDict = outer.dict();
  if (outerDict == nullptr) malformed("not a dictionary");
  if (required(*outerDict, kFormatKey).int64() != kFormat) malformed("unknown format");
  const foundation::Bytes* signedData = required(*outerDict, kSignedDataKey).data();
  const foundation::Bytes* signature = required(*outerDict, kSignatureKey).data();
  if (signedData == nullptr || signature == nullptr || signature->empty()) {
    malformed("signed data or signature is not data");
  }

  foundation::PlistValue inner = readBounded(*signedData);
  const foundation::PlistDict* innerDict = inner.dict();
  if (innerDict == nullptr) malformed("signed data is not a dictionary");
  const std::string* identifier = required(*innerDict, kIdentifierKey).string();
  const foundation::PlistDict* info = required(*innerDict, kInfoKey).dict();
  const foundation::Bytes* hash = required(*innerDict, kExecutableHashKey).data();
  const foundation::PlistArray* certificates = required(*innerDict, kCertificatesKey).array();
  if (identifier == nullptr || identifier->empty()) malformed("identifier");
  if (info == nullptr) malformed("info");
  if (hash == nullptr || hash->size() != 32) malformed("executable hash");
  if (certificates == nullptr || certificates->empty() || certificates->size() > kMaxCertificates) {
    malformed("certificates");
  }

  CodeSignature result;
  result.identifier = *identifier;
  result.info = *info;
  result.executableHash = *hash;
  for (const foundation::PlistValue& certificate : *certificates) {
    if (certificate.data() == nullptr || certificate.data()->empty()) malformed("certificate");
    result.certificates.push_back(*certificate.data());
  }
  result.signedData = *signedData;
  result.signature = *signature;
  return result;
}

foundation::Bytes encodeCodeSignature(
    const std::string& identifier, const foundation::PlistDict& info,
    const foundation::Bytes& executableHash, const std::vector<foundation::Bytes>& certificates,
    const std::function<foundation::Bytes(const foundation::Bytes& signedData)>& sign) {
  foundation::PlistDict inner;
  inner.set(kIdentifierKey, identifier);
  inner.set(kInfoKey, info);
  inner.set(kExecutableHashKey, executableHash);
  foundation::PlistArray chain;
  for (const auto& certificate : certificates) chain.emplace_back(certificate);
  inner.set(kCertificatesKey, std::move(chain));
  foundation::Bytes signedData = foundation::writeBinaryPlist(inner);

  foundation::PlistDict outer;
  outer.set(kFormatKey, kFormat);
  outer.set(kSignatureKey, sign(signedData));
  outer.set(kSignedDataKey, std::move(signedData));
  return foundation::writeBinaryPlist(outer);
}

}  // namespace brellis::platform::security
