// Drives the PKCS#11 module's entry points with a sequence of calls read from the input:
// templates of any types and lengths, null and short buffers, stale and made-up handles, against
// a module with one configured token (an EC P-256 key and its certificate). The token's key
// operations fail at once: nothing here would reach a phone.
//
// Every input gets a module of its own (C_Initialize before its first call, C_Finalize after its
// last, which closes its sessions and forgets its login), so sessions, handles and login states
// never reach the next input. What lasts for the process is made once and never changes: the
// token's keychain items and the objects the module makes of them.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/crypto_token_kit/pkcs11/entry_points.h"
#include "platform/crypto_token_kit/pkcs11/token_backend.h"
#include "platform/crypto_token_kit/pkcs11/token_objects.h"
#include "platform/crypto_token_kit/tk_bertlv_record.h"
#include "platform/crypto_token_kit/tk_error.h"
#include "platform/crypto_token_kit/tk_token_keychain_certificate.h"
#include "platform/crypto_token_kit/tk_token_keychain_key.h"

namespace ctk = brellis::platform::crypto_token_kit;
using brellis::platform::foundation::Bytes;

namespace {

const uint8_t kCertificate[] = {
    0x30, 0x82, 0x01, 0x84, 0x30, 0x82, 0x01, 0x29, 0xa0, 0x03, 0x02, 0x01, 0x02, 0x02, 0x14, 0x3d,
    0xcd, 0x41, 0xc4, 0xc7, 0xdb, 0x7b, 0xc1, 0xe9, 0x7f, 0x8d, 0x0c, 0x12, 0xe9, 0x5f, 0xc0, 0x77,
    0xa2, 0x69, 0x93, 0x30, 0x0a, 0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x04, 0x03, 0x02, 0x30,
    0x17, 0x31, 0x15, 0x30, 0x13, 0x06, 0x03, 0x55, 0x04, 0x03, 0x0c, 0x0c, 0x42, 0x72, 0x65, 0x6c,
    0x6c, 0x69, 0x73, 0x20, 0x46, 0x75, 0x7a, 0x7a, 0x30, 0x1e, 0x17, 0x0d, 0x32, 0x36, 0x31, 0x32,
    0x30, 0x39, 0x31, 0x39, 0x30, 0x38, 0x34, 0x31, 0x5a, 0x17, 0x0d, 0x33, 0x36, 0x31, 0x32, 0x30,
    0x36, 0x31, 0x39, 0x30, 0x38, 0x34, 0x31, 0x5a, 0x30, 0x17, 0x31, 0x15, 0x30, 0x13, 0x06, 0x03,
    0x55, 0x04, 0x03, 0x0c, 0x0c, 0x42, 0x72, 0x65, 0x6c, 0x6c, 0x69, 0x73, 0x20, 0x46, 0x75, 0x7a,
    0x7a, 0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02, 0x01, 0x06, 0x08,
    0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04, 0x47, 0xfb, 0xd4, 0x67,
    0x6f, 0xa6, 0xec, 0x69, 0xb1, 0xcd, 0xaf, 0xec, 0xd9, 0x55, 0x7b, 0xbc, 0x65, 0x39, 0x45, 0xe2,
    0xb4, 0x5e, 0x70, 0x15, 0x8f, 0xb8, 0xbe, 0x8b, 0xd6, 0xcc, 0xdf, 0xdc, 0x03, 0x54, 0xef, 0x05,
    0x94, 0x05, 0xdd, 0xa0, 0x7c, 0xfb, 0xe2, 0x66, 0x3c, 0x82, 0x7d, 0xe8, 0x08, 0x63, 0x82, 0x04,
    0xe8, 0xad, 0x13, 0xf4, 0xf8, 0x08, 0x47, 0x45, 0x2a, 0x84, 0x60, 0x32, 0xa3, 0x53, 0x30, 0x51,
    0x30, 0x1d, 0x06, 0x03, 0x55, 0x1d, 0x0e, 0x04, 0x16, 0x04, 0x14, 0x24, 0x09, 0xb4, 0x94, 0x53,
    0x6f, 0x94, 0x77, 0x07, 0xa0, 0x94, 0xa2, 0x0e, 0xbe, 0x04, 0x0b, 0xb5, 0x57, 0x80, 0xb3, 0x30,
    0x1f, 0x06, 0x03, 0x55, 0x1d, 0x23, 0x04, 0x18, 0x30, 0x16, 0x80, 0x14, 0x24, 0x09, 0xb4, 0x94,
    0x53, 0x6f, 0x94, 0x77, 0x07, 0xa0, 0x94, 0xa2, 0x0e, 0xbe, 0x04, 0x0b, 0xb5, 0x57, 0x80, 0xb3,
    0x30, 0x0f, 0x06, 0x03, 0x55, 0x1d, 0x13, 0x01, 0x01, 0xff, 0x04, 0x05, 0x30, 0x03, 0x01, 0x01,
    0xff, 0x30, 0x0a, 0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x04, 0x03, 0x02, 0x03, 0x49, 0x00,
    0x30, 0x46, 0x02, 0x21, 0x00, 0x91, 0x0f, 0xec, 0xf1, 0xfb, 0x6a, 0x66, 0x65, 0xce, 0xd2, 0xa8,
    0xa7, 0xe8, 0x78, 0xee, 0xc3, 0x54, 0x38, 0x02, 0xd2, 0xbb, 0x6b, 0x50, 0x92, 0xe1, 0x75, 0x15,
    0x37, 0xbe, 0x24, 0x3a, 0xa6, 0x02, 0x21, 0x00, 0x87, 0x93, 0xd7, 0xab, 0x9f, 0xce, 0x46, 0xa9,
    0x36, 0xc7, 0x5d, 0x41, 0x98, 0xd3, 0xe1, 0x63, 0x2c, 0x8c, 0x27, 0x79, 0xf8, 0x53, 0x0f, 0x0b,
    0xcc, 0xad, 0x24, 0xb5, 0xbf, 0xcc, 0x66, 0x84};

// The configured token, made once per process: parsing its certificate is most of what a module
// bring-up costs, and nothing in an input changes it (the module only reads keychain items).
const ctk::pkcs11::TokenSnapshot& fixtureToken() {
  static const ctk::pkcs11::TokenSnapshot token = [] {
    auto certificate = ctk::SecCertificate::createWithData(
        Bytes(std::begin(kCertificate), std::end(kCertificate)));
    auto key = ctk::TKTokenKeychainKey::initWithCertificate(*certificate, int64_t{0x5FC100});
    key->setLabel("Unlock-Key");
    key->setCanSign(true);
    ctk::TKTokenOperationConstraints constraints;
    constraints[2] = brellis::platform::foundation::PlistValue("PINAlways");
    key->setConstraints(constraints);
    auto item = ctk::TKTokenKeychainCertificate::initWithCertificate(
        *certificate, ctk::TKBERTLVRecord::dataForTag(0x5FC100));
    return ctk::pkcs11::TokenSnapshot{{"com.velkor.tarvo.brellis.token", "UnlockToken"},
                                      {key, item}};
  }();
  return token;
}

class FuzzBackend : public ctk::pkcs11::TokenBackend {
 public:
  std::vector<ctk::pkcs11::TokenSnapshot> tokens() override { return {fixtureToken()}; }
  bool supports(const ctk::pkcs11::TokenIdentity&, const ctk::ObjectID&,
                ctk::TokenKeyAlgorithm algorithm) override {
    return algorithm == ctk::TokenKeyAlgorithm::ecdsaSignatureMessageX962SHA256 ||
           algorithm == ctk::TokenKeyAlgorithm::ecdhKeyExchangeStandard;
  }
  ctk::TKResult<Bytes> perform(const ctk::pkcs11::TokenIdentity&, const ctk::ObjectID&,
                               ctk::TokenKeyAlgorithm, const Bytes&,
                               const std::optional<ctk::TKTokenKeyExchangeParameters>&,
                               ctk::pkcs11::PinSource pin) override {
    if (pin && !pin()) return tl::unexpected(ctk::tkErrorRecord(ctk::TKErrorCode::canceledByUser));
    return tl::unexpected(ctk::tkErrorRecord(ctk::TKErrorCode::communicationError));
  }
  void shutdown() override {}
};

// Reads the input front to back; zeros once it is used up.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool more() const { return at_ < size_; }
  uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  CK_ULONG number() { return byte(); }
  Bytes bytes(size_t count) {
    Bytes out;
    while (out.size() < count && more()) out.push_back(byte());
    return out;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

const CK_ATTRIBUTE_TYPE kTypes[] = {
    CKA_CLASS,         CKA_ID,     CKA_LABEL,       CKA_KEY_TYPE,  CKA_SIGN,
    CKA_DECRYPT,       CKA_DERIVE, CKA_VALUE,       CKA_EC_POINT,  CKA_EC_PARAMS,
    CKA_MODULUS,       CKA_TOKEN,  CKA_SENSITIVE,   CKA_VALUE_LEN, CKA_SUBJECT,
    CKA_SERIAL_NUMBER, CKA_ISSUER, CKA_EXTRACTABLE, 0x7FFFFFFFUL,  CKA_ALWAYS_AUTHENTICATE};
const CK_MECHANISM_TYPE kMechanisms[] = {CKM_ECDSA,        CKM_ECDSA_SHA256,    CKM_RSA_PKCS,
                                         CKM_ECDH1_DERIVE, CKM_SHA256_RSA_PKCS, CKM_AES_ECB};

// A template whose values live in `storage` (kept alive by the caller).
std::vector<CK_ATTRIBUTE> makeTemplate(Input& in, std::vector<Bytes>& storage) {
  const size_t count = in.byte() % 5;
  std::vector<CK_ATTRIBUTE> attributes;
  storage.reserve(storage.size() + count);
  for (size_t i = 0; i < count; ++i) {
    const uint8_t shape = in.byte();
    CK_ATTRIBUTE attribute{kTypes[shape % std::size(kTypes)], nullptr, 0};
    const size_t length = in.byte() % 80;
    if (shape & 0x80) {
      attribute.ulValueLen = length;  // a null value with a length
    } else {
      storage.push_back(in.bytes(length));
      storage.back().resize(length);
      attribute.pValue = storage.back().empty() ? nullptr : storage.back().data();
      attribute.ulValueLen = storage.back().size();
    }
    attributes.push_back(attribute);
  }
  return attributes;
}

}  // namespace

namespace brellis::platform::crypto_token_kit::pkcs11 {
// The fuzz target's own backend in place of the token service.
void setTokenBackendFactory(TokenBackendFactory) {}
std::shared_ptr<TokenBackend> makeTokenBackend() { return std::make_shared<FuzzBackend>(); }

// token_objects.cpp's objectsForItems, renamed for this target (see CMakeLists.txt).
std::vector<TokenObject> objectsForItemsUncached(const TKTokenKeychainItems& items,
                                                 bool pinRequired);

// The module makes the objects of a token's items at almost every call, each time parsing the
// certificate anew (a few X.509 decodes, over a millisecond here). The fixture's items are the
// same objects at every call and never change, so their objects are made once; any other items
// are made as the module makes them.
std::vector<TokenObject> objectsForItems(const TKTokenKeychainItems& items, bool pinRequired) {
  static const std::vector<TokenObject> fixtureObjects[2] = {
      objectsForItemsUncached(fixtureToken().items, false),
      objectsForItemsUncached(fixtureToken().items, true)};
  if (items == fixtureToken().items) return fixtureObjects[pinRequired ? 1 : 0];
  return objectsForItemsUncached(items, pinRequired);
}
}  // namespace brellis::platform::crypto_token_kit::pkcs11

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CK_FUNCTION_LIST* p11 = ctk::pkcs11::functionList();
  if (p11->C_Initialize(nullptr) != CKR_OK) return 0;
  Input in(data, size);
  CK_SESSION_HANDLE session = 1;
  for (int steps = 0; in.more() && steps < 64; ++steps) {
    std::vector<Bytes> storage;
    const uint8_t op = in.byte();
    switch (op % 14) {
      case 0: {
        CK_FLAGS flags = (in.byte() & 1) ? CKF_SERIAL_SESSION : CKF_SERIAL_SESSION | CKF_RW_SESSION;
        p11->C_OpenSession(in.number() % 3, flags, nullptr, nullptr, &session);
        break;
      }
      case 1:
        p11->C_CloseSession(in.number());
        break;
      case 2: {
        auto tmpl = makeTemplate(in, storage);
        p11->C_FindObjectsInit(in.number(), tmpl.empty() ? nullptr : tmpl.data(), tmpl.size());
        break;
      }
      case 3: {
        CK_OBJECT_HANDLE found[4];
        CK_ULONG count = 0;
        const CK_ULONG max = in.number() % 6;
        p11->C_FindObjects(session, max > 4 ? nullptr : found, max, (op & 0x40) ? nullptr : &count);
        p11->C_FindObjectsFinal(in.number());
        break;
      }
      case 4: {
        auto tmpl = makeTemplate(in, storage);
        p11->C_GetAttributeValue(session, in.number(), tmpl.empty() ? nullptr : tmpl.data(),
                                 tmpl.size());
        break;
      }
      case 5:
      case 6: {
        Bytes parameter = in.bytes(in.byte() % 8);
        CK_MECHANISM mechanism{kMechanisms[in.byte() % std::size(kMechanisms)],
                               parameter.empty() ? nullptr : parameter.data(), parameter.size()};
        if (op % 14 == 5) {
          p11->C_SignInit(session, (op & 0x40) ? nullptr : &mechanism, in.number());
        } else {
          p11->C_DecryptInit(session, (op & 0x40) ? nullptr : &mechanism, in.number());
        }
        break;
      }
      case 7: {
        Bytes point = in.bytes(in.byte() % 100);
        CK_ECDH1_DERIVE_PARAMS parameters{in.byte() % 3 == 0 ? CKD_SHA1_KDF : CKD_NULL, 0, nullptr,
                                          point.size(), point.empty() ? nullptr : point.data()};
        CK_MECHANISM mechanism{kMechanisms[in.byte() % std::size(kMechanisms)], &parameters,
                               (op & 0x40) ? 1 : sizeof parameters};
        auto tmpl = makeTemplate(in, storage);
        CK_OBJECT_HANDLE key = 0;
        p11->C_DeriveKey(session, &mechanism, in.number(), tmpl.empty() ? nullptr : tmpl.data(),
                         tmpl.size(), (op & 0x80) ? nullptr : &key);
        break;
      }
      case 8: {
        Bytes message = in.bytes(in.byte() % 40);
        CK_BYTE out[8];
        CK_ULONG length = in.number() % 10;
        // Only size queries and short buffers: these end before the token is asked.
        p11->C_Sign(session, message.empty() ? nullptr : message.data(), message.size(),
                    (op & 0x40) ? nullptr : out, (op & 0x80) ? nullptr : &length);
        break;
      }
      case 9: {
        Bytes pin = in.bytes(in.byte() % 70);
        p11->C_Login(session, in.number() % 4, pin.empty() ? nullptr : pin.data(), pin.size());
        if (op & 0x40) p11->C_Logout(session);
        break;
      }
      case 10: {
        CK_SLOT_ID slots[2];
        CK_ULONG count = in.number() % 3;
        p11->C_GetSlotList(in.byte() & 1, (op & 0x40) ? nullptr : slots, &count);
        CK_TOKEN_INFO info;
        p11->C_GetTokenInfo(in.number() % 3, (op & 0x80) ? nullptr : &info);
        break;
      }
      case 11: {
        CK_MECHANISM_TYPE list[3];
        CK_ULONG count = in.number() % 4;
        p11->C_GetMechanismList(in.number() % 3, (op & 0x40) ? nullptr : list, &count);
        CK_MECHANISM_INFO info;
        p11->C_GetMechanismInfo(in.number() % 3, kMechanisms[in.byte() % std::size(kMechanisms)],
                                (op & 0x80) ? nullptr : &info);
        break;
      }
      case 12: {
        CK_SESSION_INFO info;
        p11->C_GetSessionInfo(in.number(), (op & 0x40) ? nullptr : &info);
        p11->C_DestroyObject(session, in.number());
        break;
      }
      case 13: {
        Bytes part = in.bytes(in.byte() % 40);
        p11->C_SignUpdate(session, part.empty() ? nullptr : part.data(), part.size());
        CK_ULONG length = 0;
        p11->C_SignFinal(session, nullptr, (op & 0x40) ? nullptr : &length);
        break;
      }
    }
  }
  p11->C_Finalize(nullptr);
  return 0;
}
