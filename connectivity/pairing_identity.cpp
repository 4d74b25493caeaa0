#include "connectivity/pairing_identity.h"

#include "connectivity_protocol/record_reader.h"
#include "platform/foundation/decoding_error.h"

namespace brellis::connectivity {

namespace fnd = platform::foundation;
using connectivity_protocol::RecordReader;

namespace {

constexpr const char* kIdentifierKey = "identifier";
constexpr const char* kNameKey = "name";
constexpr const char* kSaltKey = "salt";
constexpr const char* kPublicKeyKey = "publicKey";
constexpr const char* kListDescription = "Expected to decode an array";

}  // namespace

fnd::PlistValue PairingIdentity::toPropertyList() const {
  fnd::PlistDict dict;
  dict.set(kIdentifierKey, identifier_);
  dict.set(kNameKey, name_);
  dict.set(kSaltKey, salt_);
  dict.set(kPublicKeyKey, publicKey_);
  return dict;
}

PairingIdentity PairingIdentity::fromPropertyList(const fnd::PlistValue& value,
                                                  std::vector<std::string> codingPath) {
  RecordReader reader(value, std::move(codingPath));
  std::string identifier = reader.string(kIdentifierKey);
  std::string name = reader.string(kNameKey);
  fnd::Bytes salt = reader.data(kSaltKey);
  fnd::Bytes publicKey = reader.data(kPublicKeyKey);
  return PairingIdentity(std::move(identifier), std::move(name), std::move(salt),
                         std::move(publicKey));
}

fnd::Bytes encodePairingIdentities(const std::vector<PairingIdentity>& list) {
  fnd::PlistArray array;
  array.reserve(list.size());
  for (const auto& identity : list) array.push_back(identity.toPropertyList());
  return connectivity_protocol::writeRecord(array);
}

std::vector<PairingIdentity> decodePairingIdentities(const fnd::Bytes& bytes) {
  fnd::PlistValue root = connectivity_protocol::readRecord(bytes);
  const fnd::PlistArray* array = root.array();
  if (array == nullptr) {
    throw fnd::DecodingError(
        fnd::DecodingError::Kind::typeMismatch, {},
        std::string(kListDescription) + " but found " + fnd::kindName(root) + " instead.");
  }
  std::vector<PairingIdentity> list;
  list.reserve(array->size());
  for (size_t i = 0; i < array->size(); ++i) {
    list.push_back(PairingIdentity::fromPropertyList((*array)[i], {"Index " + std::to_string(i)}));
  }
  return list;
}

}  // namespace brellis::connectivity
