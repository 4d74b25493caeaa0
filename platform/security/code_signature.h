#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/foundation/plist_value.h"

namespace brellis::platform::security {

// The detached signature of a program: the file "<executable>.sig" next to it, a binary
// property list
//   { "format": 1, "signedData": <data>, "signature": <data> }
// where "signedData" is itself a binary property list
//   { "identifier": <string>, "info": <dict with CFBundleShortVersionString ...>,
//     "executableHash": <32 bytes, SHA-256 of the executable>,
//     "certificates": [<DER certificate>, ...] (leaf first) }
// and "signature" is the leaf key's signature (SHA-256 with ECDSA or RSA PKCS#1 v1.5) over the
// exact bytes of "signedData".
inline constexpr const char* kSignatureSuffix = ".sig";

struct CodeSignature {
  std::string identifier;
  foundation::PlistDict info;
  foundation::Bytes executableHash;
  std::vector<foundation::Bytes> certificates;
  foundation::Bytes signedData;  // the bytes that `signature` covers
  foundation::Bytes signature;
};

std::filesystem::path signaturePath(const std::filesystem::path& executable);

// Decodes a signature file. Bounded and strict: anything malformed (wrong kinds, missing keys, a
// hash that is not 32 bytes, no certificate, more than 8 certificates, input over 1 MiB) raises
// DecodingError, which the signature check reports as errSecCSSignatureFailed.
CodeSignature decodeCodeSignature(const foundation::Bytes& bytes);

// Builds the file's bytes: `signedData` is produced from the other fields; `sign` receives it and
// returns the signature. For the signing tool and tests.
foundation::Bytes encodeCodeSignature(
    const std::string& identifier, const foundation::PlistDict& info,
    const foundation::Bytes& executableHash, const std::vector<foundation::Bytes>& certificates,
    const std::function<foundation::Bytes(const foundation::Bytes& signedData)>& sign);

}  // namespace brellis::platform::security
