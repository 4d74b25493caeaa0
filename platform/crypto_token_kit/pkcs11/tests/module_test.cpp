#include <gtest/gtest.h>
#include <openssl/ecdsa.h>
#include <openssl/x509.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <future>
#include <thread>

#include "platform/crypto_token_kit/pkcs11/entry_points.h"
#include "platform/crypto_token_kit/pkcs11/key_encoding.h"
#include "platform/crypto_token_kit/pkcs11/tests/fake_token_backend.h"

namespace brellis::platform::crypto_token_kit::pkcs11 {
namespace {

using foundation::Bytes;
using test_support::makeTestCertificate;
using test_support::TestCertificate;
using test_support::TestKeyKind;
using testing::FakeTokenBackend;

// Verifies a PKCS#11 signature against the certificate with OpenSSL (r ‖ s made DER first for
// ECDSA).
bool verifies(const TestCertificate& certificate, const Bytes& message, const Bytes& signature,
              bool ecdsa) {
  const unsigned char* cursor = certificate.der.data();
  X509* x509 = d2i_X509(nullptr, &cursor, static_cast<long>(certificate.der.size()));
  EVP_PKEY* key = X509_get_pubkey(x509);
  Bytes der = signature;
  if (ecdsa) {
    const size_t half = signature.size() / 2;
    ECDSA_SIG* sig = ECDSA_SIG_new();
    ECDSA_SIG_set0(sig, BN_bin2bn(signature.data(), static_cast<int>(half), nullptr),
                   BN_bin2bn(signature.data() + half, static_cast<int>(half), nullptr));
    unsigned char* out = nullptr;
    const int length = i2d_ECDSA_SIG(sig, &out);
    der.assign(out, out + length);
    OPENSSL_free(out);
    ECDSA_SIG_free(sig);
  }
  EVP_MD_CTX* md = EVP_MD_CTX_new();
  const bool ok = EVP_DigestVerifyInit(md, nullptr, EVP_sha256(), nullptr, key) == 1 &&
                  EVP_DigestVerify(md, der.data(), der.size(), message.data(), message.size()) == 1;
  EVP_MD_CTX_free(md);
  EVP_PKEY_free(key);
  X509_free(x509);
  return ok;
}

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    backend = std::make_shared<FakeTokenBackend>();
    backend->setToken("UnlockToken", FakeTokenBackend::itemsFor(ec, false), ec.privateKeyDer);
    setTokenBackendFactory([b = backend] { return b; });
    p11 = functionList();
    ASSERT_EQ(p11->C_Initialize(nullptr), CKR_OK);
  }
  void TearDown() override {
    p11->C_Finalize(nullptr);
    setTokenBackendFactory(nullptr);
  }

  std::vector<CK_SLOT_ID> slots(CK_BBOOL present = CK_TRUE) {
    CK_ULONG count = 0;
    EXPECT_EQ(p11->C_GetSlotList(present, nullptr, &count), CKR_OK);
    std::vector<CK_SLOT_ID> list(count);
    EXPECT_EQ(p11->C_GetSlotList(present, list.data(), &count), CKR_OK);
    list.resize(count);
    return list;
  }
  CK_SESSION_HANDLE open(CK_SLOT_ID slot) {
    CK_SESSION_HANDLE session = 0;
    EXPECT_EQ(p11->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
    return session;
  }
  std::vector<CK_OBJECT_HANDLE> find(CK_SESSION_HANDLE session, std::vector<CK_ATTRIBUTE> tmpl) {
    EXPECT_EQ(p11->C_FindObjectsInit(session, tmpl.data(), tmpl.size()), CKR_OK);
    std::vector<CK_OBJECT_HANDLE> all;
    CK_OBJECT_HANDLE chunk[2];
    CK_ULONG count = 0;
    while (p11->C_FindObjects(session, chunk, 2, &count) == CKR_OK && count > 0) {
      all.insert(all.end(), chunk, chunk + count);
    }
    EXPECT_EQ(p11->C_FindObjectsFinal(session), CKR_OK);
    return all;
  }
  CK_OBJECT_HANDLE privateKey(CK_SESSION_HANDLE session) {
    CK_OBJECT_CLASS type = CKO_PRIVATE_KEY;
    auto found = find(session, {{CKA_CLASS, &type, sizeof type}});
    EXPECT_EQ(found.size(), 1u);
    return found.empty() ? 0 : found[0];
  }
  Bytes attribute(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
    CK_ATTRIBUTE a{type, nullptr, 0};
    if (p11->C_GetAttributeValue(session, object, &a, 1) != CKR_OK) return {};
    Bytes value(a.ulValueLen);
    a.pValue = value.data();
    EXPECT_EQ(p11->C_GetAttributeValue(session, object, &a, 1), CKR_OK);
    return value;
  }
  CK_RV signOnce(CK_SESSION_HANDLE session, CK_MECHANISM_TYPE type, const Bytes& message,
                 Bytes* signature) {
    CK_MECHANISM mechanism{type, nullptr, 0};
    CK_RV rv = p11->C_SignInit(session, &mechanism, privateKey(session));
    if (rv != CKR_OK) return rv;
    signature->assign(512, 0);
    CK_ULONG length = signature->size();
    rv = p11->C_Sign(session, const_cast<CK_BYTE_PTR>(message.data()), message.size(),
                     signature->data(), &length);
    signature->resize(rv == CKR_OK ? length : 0);
    return rv;
  }

  TestCertificate ec = makeTestCertificate(TestKeyKind::p256, "Brellis EC");
  std::shared_ptr<FakeTokenBackend> backend;
  CK_FUNCTION_LIST* p11 = nullptr;
};

TEST_F(ModuleTest, InitializeAndFinalizeCheckTheirArgumentsAndOrder) {
  EXPECT_EQ(p11->C_Initialize(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED);
  EXPECT_EQ(p11->C_Finalize(reinterpret_cast<void*>(1)), CKR_ARGUMENTS_BAD);
  ASSERT_EQ(p11->C_Finalize(nullptr), CKR_OK);
  EXPECT_EQ(p11->C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
  CK_ULONG count = 0;
  EXPECT_EQ(p11->C_GetSlotList(CK_FALSE, nullptr, &count), CKR_CRYPTOKI_NOT_INITIALIZED);

  CK_C_INITIALIZE_ARGS args{};
  args.pReserved = &count;
  EXPECT_EQ(p11->C_Initialize(&args), CKR_ARGUMENTS_BAD);
  args = {};
  args.CreateMutex = [](void**) -> CK_RV { return CKR_OK; };
  EXPECT_EQ(p11->C_Initialize(&args), CKR_ARGUMENTS_BAD);  // some mutex functions, not all
  args.DestroyMutex = [](void*) -> CK_RV { return CKR_OK; };
  args.LockMutex = [](void*) -> CK_RV { return CKR_OK; };
  args.UnlockMutex = [](void*) -> CK_RV { return CKR_OK; };
  EXPECT_EQ(p11->C_Initialize(&args), CKR_CANT_LOCK);
  args.flags = CKF_OS_LOCKING_OK;
  EXPECT_EQ(p11->C_Initialize(&args), CKR_OK);
  // p11-kit's flags: the module's threads are its own.
  ASSERT_EQ(p11->C_Finalize(nullptr), CKR_OK);
  args = {};
  args.flags = CKF_OS_LOCKING_OK | CKF_LIBRARY_CANT_CREATE_OS_THREADS;
  EXPECT_EQ(p11->C_Initialize(&args), CKR_OK);
}

TEST_F(ModuleTest, SlotsFollowTheConfiguredTokenInstances) {
  auto first = slots();
  ASSERT_EQ(first.size(), 1u);
  CK_TOKEN_INFO info;
  ASSERT_EQ(p11->C_GetTokenInfo(first[0], &info), CKR_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(info.label), 32),
            "UnlockToken" + std::string(21, ' '));
  EXPECT_EQ(info.flags & (CKF_LOGIN_REQUIRED | CKF_PROTECTED_AUTHENTICATION_PATH), 0u);

  // A login follows whether the token asks for a PIN, not the keys' constraints; none has a PIN
  // pad.
  auto rsa = makeTestCertificate(TestKeyKind::rsa2048, "Brellis RSA");
  backend->setToken("SecondToken", FakeTokenBackend::itemsFor(rsa, true), rsa.privateKeyDer);
  auto both = slots();
  ASSERT_EQ(both.size(), 2u);
  ASSERT_EQ(p11->C_GetTokenInfo(both[1], &info), CKR_OK);
  EXPECT_EQ(info.flags & CKF_LOGIN_REQUIRED, 0u);
  backend->announcesPin = true;
  ASSERT_EQ(p11->C_GetTokenInfo(both[1], &info), CKR_OK);
  EXPECT_EQ(info.flags & CKF_LOGIN_REQUIRED, CKF_LOGIN_REQUIRED);
  EXPECT_EQ(info.flags & CKF_PROTECTED_AUTHENTICATION_PATH, 0u);
  backend->announcesPin = false;

  CK_ULONG count = 1;
  CK_SLOT_ID one;
  EXPECT_EQ(p11->C_GetSlotList(CK_TRUE, &one, &count), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(count, 2u);

  // Removed: the slot stays without its token, and its sessions end.
  CK_SESSION_HANDLE session = open(first[0]);
  backend->removeToken("UnlockToken");
  EXPECT_EQ(slots(CK_TRUE), std::vector<CK_SLOT_ID>{both[1]});
  EXPECT_EQ(slots(CK_FALSE).size(), 2u);
  CK_SLOT_INFO slotInfo;
  ASSERT_EQ(p11->C_GetSlotInfo(first[0], &slotInfo), CKR_OK);
  EXPECT_EQ(slotInfo.flags & CKF_TOKEN_PRESENT, 0u);
  EXPECT_EQ(p11->C_GetTokenInfo(first[0], &info), CKR_TOKEN_NOT_PRESENT);
  CK_SESSION_INFO sessionInfo;
  EXPECT_EQ(p11->C_GetSessionInfo(session, &sessionInfo), CKR_SESSION_HANDLE_INVALID);
  // Installed again: the same slot.
  backend->setToken("UnlockToken", FakeTokenBackend::itemsFor(ec, false), ec.privateKeyDer);
  EXPECT_EQ(slots(CK_TRUE), both);
}

TEST_F(ModuleTest, ObjectsDescribeTheKeyAndItsCertificate) {
  CK_SESSION_HANDLE session = open(slots()[0]);
  auto all = find(session, {});
  ASSERT_EQ(all.size(), 3u);
  const Bytes id{0x5F, 0xC1, 0x00};
  for (auto object : all) {
    EXPECT_EQ(attribute(session, object, CKA_ID), id);
    EXPECT_EQ(attribute(session, object, CKA_LABEL),
              Bytes({'U', 'n', 'l', 'o', 'c', 'k', '-', 'K', 'e', 'y'}));
  }
  CK_OBJECT_HANDLE key = privateKey(session);
  EXPECT_EQ(attribute(session, key, CKA_EC_PARAMS),
            Bytes({0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07}));
  EXPECT_EQ(attribute(session, key, CKA_EC_POINT), derOctetString(ec.expectedPublicKeyData));
  EXPECT_EQ(attribute(session, key, CKA_SENSITIVE), Bytes{CK_TRUE});
  EXPECT_EQ(attribute(session, key, CKA_EXTRACTABLE), Bytes{CK_FALSE});
  EXPECT_EQ(attribute(session, key, CKA_ALWAYS_AUTHENTICATE), Bytes{CK_FALSE});
  // A token asking for a PIN asks on every use, and its key is private: seen after a login.
  backend->announcesPin = true;
  CK_ATTRIBUTE hidden{CKA_LABEL, nullptr, 0};
  EXPECT_EQ(p11->C_GetAttributeValue(session, key, &hidden, 1), CKR_OBJECT_HANDLE_INVALID);
  EXPECT_EQ(find(session, {}).size(), 2u);
  CK_UTF8CHAR pin[] = "1234";
  ASSERT_EQ(p11->C_Login(session, CKU_USER, pin, 4), CKR_OK);
  EXPECT_EQ(privateKey(session), key);
  EXPECT_EQ(attribute(session, key, CKA_ALWAYS_AUTHENTICATE), Bytes{CK_TRUE});
  EXPECT_EQ(attribute(session, key, CKA_PRIVATE), Bytes{CK_TRUE});
  ASSERT_EQ(p11->C_Logout(session), CKR_OK);
  backend->announcesPin = false;
  // Capabilities are the token's answers, asked when read.
  EXPECT_EQ(attribute(session, key, CKA_SIGN), Bytes{CK_TRUE});
  EXPECT_EQ(attribute(session, key, CKA_DECRYPT), Bytes{CK_FALSE});  // EC: no decryption
  backend->supported.erase(TokenKeyAlgorithm::ecdhKeyExchangeStandard);
  EXPECT_EQ(attribute(session, key, CKA_DERIVE), Bytes{CK_FALSE});

  CK_OBJECT_CLASS type = CKO_CERTIFICATE;
  auto certificate = find(session, {{CKA_CLASS, &type, sizeof type}});
  ASSERT_EQ(certificate.size(), 1u);
  EXPECT_EQ(attribute(session, certificate[0], CKA_VALUE), ec.der);
  EXPECT_FALSE(attribute(session, certificate[0], CKA_SERIAL_NUMBER).empty());
  EXPECT_EQ(attribute(session, certificate[0], CKA_SUBJECT),
            attribute(session, certificate[0], CKA_ISSUER));  // self-signed

  // One call reports every problem and still fills what it can.
  CK_BYTE small[2];
  CK_BYTE label[32];
  CK_ATTRIBUTE mixed[] = {{CKA_VALUE, nullptr, 0},
                          {CKA_EC_POINT, small, sizeof small},
                          {0x7FFFFFFFUL, nullptr, 0},
                          {CKA_LABEL, label, sizeof label}};
  CK_RV rv = p11->C_GetAttributeValue(session, key, mixed, 4);
  EXPECT_TRUE(rv == CKR_ATTRIBUTE_SENSITIVE || rv == CKR_BUFFER_TOO_SMALL ||
              rv == CKR_ATTRIBUTE_TYPE_INVALID);
  EXPECT_EQ(mixed[0].ulValueLen, CK_UNAVAILABLE_INFORMATION);
  EXPECT_EQ(mixed[1].ulValueLen, CK_UNAVAILABLE_INFORMATION);
  EXPECT_EQ(mixed[2].ulValueLen, CK_UNAVAILABLE_INFORMATION);
  EXPECT_EQ(mixed[3].ulValueLen, 10u);
  EXPECT_EQ(std::memcmp(label, "Unlock-Key", 10), 0);
}

TEST_F(ModuleTest, FindObjectsFiltersByAnyTemplate) {
  CK_SESSION_HANDLE session = open(slots()[0]);
  CK_BBOOL yes = CK_TRUE;
  CK_BYTE id[] = {0x5F, 0xC1, 0x00};
  CK_KEY_TYPE ecType = CKK_EC;
  CK_KEY_TYPE rsaType = CKK_RSA;
  EXPECT_EQ(find(session, {{CKA_SIGN, &yes, sizeof yes}}).size(), 1u);
  EXPECT_EQ(find(session, {{CKA_ID, id, sizeof id}}).size(), 3u);
  EXPECT_EQ(find(session, {{CKA_ID, id, 2}}).size(), 0u);  // a prefix is not the value
  EXPECT_EQ(find(session, {{CKA_KEY_TYPE, &ecType, sizeof ecType}}).size(), 2u);
  EXPECT_EQ(find(session, {{CKA_KEY_TYPE, &rsaType, sizeof rsaType}}).size(), 0u);
  EXPECT_EQ(find(session, {{CKA_VALUE, nullptr, 0}}).size(), 0u);  // sensitive never matches

  CK_ATTRIBUTE broken{CKA_ID, nullptr, 3};
  EXPECT_EQ(p11->C_FindObjectsInit(session, &broken, 1), CKR_ARGUMENTS_BAD);
  EXPECT_EQ(p11->C_FindObjectsInit(session, nullptr, 1), CKR_ARGUMENTS_BAD);
  CK_ULONG count = 0;
  CK_OBJECT_HANDLE object;
  EXPECT_EQ(p11->C_FindObjects(session, &object, 1, &count), CKR_OPERATION_NOT_INITIALIZED);
  ASSERT_EQ(p11->C_FindObjectsInit(session, nullptr, 0), CKR_OK);
  EXPECT_EQ(p11->C_FindObjectsInit(session, nullptr, 0), CKR_OPERATION_ACTIVE);
  EXPECT_EQ(p11->C_FindObjects(session, &object, 1, nullptr), CKR_ARGUMENTS_BAD);
}

TEST_F(ModuleTest, MechanismsAreThoseTheTokenSupports) {
  CK_SLOT_ID slot = slots()[0];
  CK_ULONG count = 0;
  ASSERT_EQ(p11->C_GetMechanismList(slot, nullptr, &count), CKR_OK);
  std::vector<CK_MECHANISM_TYPE> list(count);
  ASSERT_EQ(p11->C_GetMechanismList(slot, list.data(), &count), CKR_OK);
  // An EC P-256 token: ECDSA of messages and ECDH; a digest cannot be signed by a token that
  // hashes the message itself, and RSA needs an RSA key.
  EXPECT_EQ(list, (std::vector<CK_MECHANISM_TYPE>{CKM_ECDSA_SHA256, CKM_ECDH1_DERIVE}));
  CK_MECHANISM_INFO info;
  ASSERT_EQ(p11->C_GetMechanismInfo(slot, CKM_ECDSA_SHA256, &info), CKR_OK);
  EXPECT_EQ(info.ulMinKeySize, 256u);
  EXPECT_EQ(info.flags & (CKF_SIGN | CKF_DECRYPT | CKF_EC_NAMEDCURVE),
            CKF_SIGN | CKF_EC_NAMEDCURVE);
  EXPECT_EQ(p11->C_GetMechanismInfo(slot, CKM_ECDSA, &info), CKR_MECHANISM_INVALID);
  EXPECT_EQ(p11->C_GetMechanismInfo(slot, CKM_RSA_PKCS, &info), CKR_MECHANISM_INVALID);
  EXPECT_EQ(p11->C_GetMechanismInfo(slot + 100, CKM_ECDSA_SHA256, &info), CKR_SLOT_ID_INVALID);
}

TEST_F(ModuleTest, EcdsaSignaturesAreRawAndVerifySingleAndMultiPart) {
  CK_SESSION_HANDLE session = open(slots()[0]);
  const Bytes message{'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd'};
  CK_MECHANISM mechanism{CKM_ECDSA_SHA256, nullptr, 0};
  ASSERT_EQ(p11->C_SignInit(session, &mechanism, privateKey(session)), CKR_OK);
  EXPECT_EQ(p11->C_SignInit(session, &mechanism, privateKey(session)), CKR_OPERATION_ACTIVE);
  // Sizes are answered without asking the token.
  CK_ULONG length = 0;
  ASSERT_EQ(p11->C_Sign(session, const_cast<CK_BYTE_PTR>(message.data()), message.size(), nullptr,
                        &length),
            CKR_OK);
  EXPECT_EQ(length, 64u);
  Bytes signature(63);
  length = signature.size();
  EXPECT_EQ(p11->C_Sign(session, const_cast<CK_BYTE_PTR>(message.data()), message.size(),
                        signature.data(), &length),
            CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, 64u);
  EXPECT_EQ(backend->callCount(), 0u);
  signature.resize(64);
  ASSERT_EQ(p11->C_Sign(session, const_cast<CK_BYTE_PTR>(message.data()), message.size(),
                        signature.data(), &length),
            CKR_OK);
  EXPECT_TRUE(verifies(ec, message, signature, true));
  EXPECT_EQ(backend->calls.at(0).input, message);  // the token hashes the message itself
  EXPECT_EQ(p11->C_Sign(session, nullptr, 0, signature.data(), &length),
            CKR_OPERATION_NOT_INITIALIZED);

  ASSERT_EQ(p11->C_SignInit(session, &mechanism, privateKey(session)), CKR_OK);
  ASSERT_EQ(p11->C_SignUpdate(session, const_cast<CK_BYTE_PTR>(message.data()), 5), CKR_OK);
  ASSERT_EQ(
      p11->C_SignUpdate(session, const_cast<CK_BYTE_PTR>(message.data()) + 5, message.size() - 5),
      CKR_OK);
  length = signature.size();
  ASSERT_EQ(p11->C_SignFinal(session, signature.data(), &length), CKR_OK);
  EXPECT_TRUE(verifies(ec, message, signature, true));
  EXPECT_EQ(backend->calls.at(1).input, message);

  // C_Sign after C_SignUpdate ends the operation with its error.
  ASSERT_EQ(p11->C_SignInit(session, &mechanism, privateKey(session)), CKR_OK);
  ASSERT_EQ(p11->C_SignUpdate(session, const_cast<CK_BYTE_PTR>(message.data()), 5), CKR_OK);
  EXPECT_EQ(p11->C_Sign(session, nullptr, 0, signature.data(), &length), CKR_OPERATION_ACTIVE);
  EXPECT_EQ(p11->C_SignFinal(session, signature.data(), &length), CKR_OPERATION_NOT_INITIALIZED);
  EXPECT_EQ(backend->calls.size(), 2u);
}

TEST_F(ModuleTest, RsaSignAndDecryptCheckSizesBeforeTheTokenIsAsked) {
  auto rsa = makeTestCertificate(TestKeyKind::rsa2048, "Brellis RSA");
  backend->setToken("UnlockToken", FakeTokenBackend::itemsFor(rsa, false), rsa.privateKeyDer);
  CK_SESSION_HANDLE session = open(slots()[0]);
  const Bytes message(100, 'm');
  Bytes signature;
  ASSERT_EQ(signOnce(session, CKM_SHA256_RSA_PKCS, message, &signature), CKR_OK);
  EXPECT_EQ(signature.size(), 256u);
  EXPECT_TRUE(verifies(rsa, message, signature, false));
  EXPECT_EQ(signOnce(session, CKM_RSA_PKCS, Bytes(256 - 10, 1), &signature), CKR_DATA_LEN_RANGE);
  EXPECT_EQ(backend->callCount(), 1u);
  CK_MECHANISM ecdsa{CKM_ECDSA_SHA256, nullptr, 0};
  EXPECT_EQ(p11->C_SignInit(session, &ecdsa, privateKey(session)), CKR_KEY_TYPE_INCONSISTENT);

  CK_MECHANISM pkcs{CKM_RSA_PKCS, nullptr, 0};
  ASSERT_EQ(p11->C_DecryptInit(session, &pkcs, privateKey(session)), CKR_OK);
  Bytes plain(4);
  CK_ULONG length = plain.size();
  EXPECT_EQ(p11->C_Decrypt(session, plain.data(), 4, plain.data(), &length),
            CKR_ENCRYPTED_DATA_LEN_RANGE);
  // A result too long for the buffer is kept: the token is asked once.
  backend->answer = Bytes{'s', 'e', 'c', 'r', 'e', 't'};
  ASSERT_EQ(p11->C_DecryptInit(session, &pkcs, privateKey(session)), CKR_OK);
  Bytes ciphertext(256, 7);
  length = plain.size();
  ASSERT_EQ(p11->C_Decrypt(session, ciphertext.data(), ciphertext.size(), plain.data(), &length),
            CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, 6u);
  plain.resize(6);
  ASSERT_EQ(p11->C_Decrypt(session, ciphertext.data(), ciphertext.size(), plain.data(), &length),
            CKR_OK);
  EXPECT_EQ(plain, *backend->answer);
  EXPECT_EQ(backend->callCount(), 2u);
  EXPECT_EQ(p11->C_DecryptUpdate(session, ciphertext.data(), 1, nullptr, &length),
            CKR_OPERATION_NOT_INITIALIZED);
}

TEST_F(ModuleTest, DeriveMakesAReadableSessionSecret) {
  CK_SESSION_HANDLE session = open(slots()[0]);
  const Bytes point = makeTestCertificate(TestKeyKind::p256, "Peer").expectedPublicKeyData;
  backend->answer = Bytes(32, 0xAB);
  CK_OBJECT_CLASS secretClass = CKO_SECRET_KEY;
  CK_KEY_TYPE generic = CKK_GENERIC_SECRET;
  CK_BBOOL no = CK_FALSE;
  std::vector<CK_ATTRIBUTE> tmpl{{CKA_TOKEN, &no, sizeof no},
                                 {CKA_CLASS, &secretClass, sizeof secretClass},
                                 {CKA_KEY_TYPE, &generic, sizeof generic}};
  for (const Bytes& publicData : {point, derOctetString(point)}) {
    CK_ECDH1_DERIVE_PARAMS parameters{CKD_NULL, 0, nullptr, publicData.size(),
                                      const_cast<CK_BYTE_PTR>(publicData.data())};
    CK_MECHANISM mechanism{CKM_ECDH1_DERIVE, &parameters, sizeof parameters};
    CK_OBJECT_HANDLE secret = 0;
    ASSERT_EQ(p11->C_DeriveKey(session, &mechanism, privateKey(session), tmpl.data(), tmpl.size(),
                               &secret),
              CKR_OK);
    EXPECT_EQ(attribute(session, secret, CKA_VALUE), *backend->answer);
    EXPECT_EQ(backend->calls.back().input, point);
    EXPECT_EQ(p11->C_DestroyObject(session, secret), CKR_OK);
    EXPECT_EQ(p11->C_DestroyObject(session, secret), CKR_OBJECT_HANDLE_INVALID);
  }
  const size_t asked = backend->callCount();
  Bytes compressed(point.begin(), point.begin() + 33);
  compressed[0] = 0x02;
  CK_ECDH1_DERIVE_PARAMS bad{CKD_NULL, 0, nullptr, compressed.size(), compressed.data()};
  CK_MECHANISM mechanism{CKM_ECDH1_DERIVE, &bad, sizeof bad};
  CK_OBJECT_HANDLE secret = 0;
  EXPECT_EQ(
      p11->C_DeriveKey(session, &mechanism, privateKey(session), tmpl.data(), tmpl.size(), &secret),
      CKR_MECHANISM_PARAM_INVALID);
  CK_ECDH1_DERIVE_PARAMS hashed{CKD_SHA256_KDF, 0, nullptr, point.size(),
                                const_cast<CK_BYTE_PTR>(point.data())};
  mechanism.pParameter = &hashed;
  EXPECT_EQ(
      p11->C_DeriveKey(session, &mechanism, privateKey(session), tmpl.data(), tmpl.size(), &secret),
      CKR_MECHANISM_PARAM_INVALID);
  CK_KEY_TYPE aes = CKK_AES;
  tmpl[2].pValue = &aes;
  CK_ECDH1_DERIVE_PARAMS good{CKD_NULL, 0, nullptr, point.size(),
                              const_cast<CK_BYTE_PTR>(point.data())};
  mechanism.pParameter = &good;
  EXPECT_EQ(
      p11->C_DeriveKey(session, &mechanism, privateKey(session), tmpl.data(), tmpl.size(), &secret),
      CKR_TEMPLATE_INCONSISTENT);
  EXPECT_EQ(backend->callCount(), asked);
}

TEST_F(ModuleTest, PinIsGivenOnlyWhenAskedAndIncorrectOnesLogOut) {
  backend->requirePin = true;
  CK_SESSION_HANDLE session = open(slots()[0]);
  Bytes signature;
  const Bytes message{'m'};
  EXPECT_EQ(signOnce(session, CKM_ECDSA_SHA256, message, &signature), CKR_USER_NOT_LOGGED_IN);
  EXPECT_EQ(backend->reachedPhone, 0);

  CK_UTF8CHAR wrong[] = "9999";
  ASSERT_EQ(p11->C_Login(session, CKU_USER, wrong, 4), CKR_OK);
  EXPECT_EQ(p11->C_Login(session, CKU_USER, wrong, 4), CKR_USER_ALREADY_LOGGED_IN);
  EXPECT_EQ(signOnce(session, CKM_ECDSA_SHA256, message, &signature), CKR_PIN_INCORRECT);
  EXPECT_EQ(backend->lastPin, "9999");
  CK_SESSION_INFO info;
  ASSERT_EQ(p11->C_GetSessionInfo(session, &info), CKR_OK);
  EXPECT_EQ(info.state, CKS_RO_PUBLIC_SESSION);  // a refused PIN is not kept

  CK_UTF8CHAR right[] = "1234";
  ASSERT_EQ(p11->C_Login(session, CKU_USER, right, 4), CKR_OK);
  ASSERT_EQ(signOnce(session, CKM_ECDSA_SHA256, message, &signature), CKR_OK);
  EXPECT_TRUE(verifies(ec, message, signature, true));
  EXPECT_EQ(backend->lastPin, "1234");
  EXPECT_EQ(p11->C_Logout(session), CKR_OK);
  EXPECT_EQ(p11->C_Logout(session), CKR_USER_NOT_LOGGED_IN);
  EXPECT_EQ(p11->C_Login(session, CKU_USER, right, 0), CKR_PIN_LEN_RANGE);
  EXPECT_EQ(p11->C_Login(session, CKU_USER, nullptr, 4), CKR_ARGUMENTS_BAD);
  EXPECT_EQ(p11->C_Login(session, CKU_SO, right, 4), CKR_USER_TYPE_INVALID);

  // A key of a token asking for its PIN on every use takes a context PIN, once.
  backend->announcesPin = true;
  session = open(slots()[0]);
  ASSERT_EQ(p11->C_Login(session, CKU_USER, right, 4), CKR_OK);
  EXPECT_EQ(signOnce(session, CKM_ECDSA_SHA256, message, &signature), CKR_USER_NOT_LOGGED_IN);
  CK_MECHANISM mechanism{CKM_ECDSA_SHA256, nullptr, 0};
  ASSERT_EQ(p11->C_SignInit(session, &mechanism, privateKey(session)), CKR_OK);
  ASSERT_EQ(p11->C_Login(session, CKU_CONTEXT_SPECIFIC, right, 4), CKR_OK);
  CK_ULONG length = 64;
  signature.resize(64);
  EXPECT_EQ(
      p11->C_Sign(session, const_cast<CK_BYTE_PTR>(message.data()), 1, signature.data(), &length),
      CKR_OK);
  EXPECT_EQ(signOnce(session, CKM_ECDSA_SHA256, message, &signature), CKR_USER_NOT_LOGGED_IN);
}

TEST_F(ModuleTest, ARefusedContextPinEndsItsOperationAndNotTheLogin) {
  backend->requirePin = true;
  backend->announcesPin = true;
  const CK_SLOT_ID slot = slots()[0];
  CK_SESSION_HANDLE session = open(slot);
  CK_SESSION_HANDLE other = open(slot);
  CK_UTF8CHAR right[] = "1234";
  CK_UTF8CHAR wrong[] = "9999";
  ASSERT_EQ(p11->C_Login(session, CKU_USER, right, 4), CKR_OK);
  CK_MECHANISM mechanism{CKM_ECDSA_SHA256, nullptr, 0};
  const Bytes message{'m'};
  Bytes signature(64);
  auto sign = [&] {
    CK_ULONG length = signature.size();
    return p11->C_Sign(session, const_cast<CK_BYTE_PTR>(message.data()), 1, signature.data(),
                       &length);
  };
  ASSERT_EQ(p11->C_SignInit(session, &mechanism, privateKey(session)), CKR_OK);
  ASSERT_EQ(p11->C_Login(session, CKU_CONTEXT_SPECIFIC, wrong, 4), CKR_OK);
  EXPECT_EQ(sign(), CKR_PIN_INCORRECT);
  EXPECT_EQ(backend->lastPin, "9999");
  EXPECT_EQ(sign(), CKR_OPERATION_NOT_INITIALIZED);
  for (CK_SESSION_HANDLE each : {session, other}) {
    CK_SESSION_INFO info;
    ASSERT_EQ(p11->C_GetSessionInfo(each, &info), CKR_OK);
    EXPECT_EQ(info.state, CKS_RO_USER_FUNCTIONS);
  }
  ASSERT_EQ(p11->C_SignInit(session, &mechanism, privateKey(session)), CKR_OK);
  ASSERT_EQ(p11->C_Login(session, CKU_CONTEXT_SPECIFIC, right, 4), CKR_OK);
  ASSERT_EQ(sign(), CKR_OK);
  EXPECT_TRUE(verifies(ec, message, signature, true));
  EXPECT_EQ(p11->C_Logout(other), CKR_OK);
}

TEST_F(ModuleTest, ADerivationWithAPinOnEveryUseTakesTheLoginPin) {
  backend->requirePin = true;
  backend->announcesPin = true;
  backend->answer = Bytes(32, 0xEF);
  CK_SESSION_HANDLE session = open(slots()[0]);
  const Bytes point = makeTestCertificate(TestKeyKind::p256, "Peer").expectedPublicKeyData;
  CK_ECDH1_DERIVE_PARAMS parameters{CKD_NULL, 0, nullptr, point.size(),
                                    const_cast<CK_BYTE_PTR>(point.data())};
  CK_MECHANISM mechanism{CKM_ECDH1_DERIVE, &parameters, sizeof parameters};
  CK_OBJECT_CLASS secretClass = CKO_SECRET_KEY;
  CK_ATTRIBUTE tmpl{CKA_CLASS, &secretClass, sizeof secretClass};
  CK_OBJECT_HANDLE secret = 0;
  auto derive = [&] {
    return p11->C_DeriveKey(session, &mechanism, privateKey(session), &tmpl, 1, &secret);
  };
  // A wrong login PIN is the one refused: the derivation says so and the user is logged out.
  CK_UTF8CHAR wrong[] = "9999";
  ASSERT_EQ(p11->C_Login(session, CKU_USER, wrong, 4), CKR_OK);
  EXPECT_EQ(derive(), CKR_PIN_INCORRECT);
  EXPECT_EQ(backend->lastPin, "9999");
  EXPECT_EQ(p11->C_Logout(session), CKR_USER_NOT_LOGGED_IN);
  CK_UTF8CHAR right[] = "1234";
  ASSERT_EQ(p11->C_Login(session, CKU_USER, right, 4), CKR_OK);
  ASSERT_EQ(derive(), CKR_OK);
  EXPECT_EQ(backend->lastPin, "1234");
  EXPECT_EQ(attribute(session, secret, CKA_VALUE), *backend->answer);
}

TEST_F(ModuleTest, AContextPinLastsAsLongAsItsOperation) {
  backend->requirePin = true;
  CK_UTF8CHAR right[] = "1234";
  CK_MECHANISM mechanism{CKM_ECDSA_SHA256, nullptr, 0};
  const Bytes message{'m'};
  CK_SESSION_HANDLE session = 0;
  Bytes signature(64);
  auto sign = [&](CK_ULONG length) {
    return p11->C_Sign(session, const_cast<CK_BYTE_PTR>(message.data()), 1, signature.data(),
                       &length);
  };
  // A key that does not ask on every use takes no context PIN; its operation goes on.
  session = open(slots()[0]);
  ASSERT_EQ(p11->C_Login(session, CKU_USER, right, 4), CKR_OK);
  ASSERT_EQ(p11->C_SignInit(session, &mechanism, privateKey(session)), CKR_OK);
  EXPECT_EQ(p11->C_Login(session, CKU_CONTEXT_SPECIFIC, right, 4), CKR_OPERATION_NOT_INITIALIZED);
  EXPECT_EQ(sign(64), CKR_OK);

  // Size questions keep the operation and its PIN; a logout takes the PIN.
  backend->announcesPin = true;
  backend->setToken("UnlockToken", FakeTokenBackend::itemsFor(ec, true), ec.privateKeyDer);
  session = open(slots()[0]);
  ASSERT_EQ(p11->C_SignInit(session, &mechanism, privateKey(session)), CKR_OK);
  ASSERT_EQ(p11->C_Login(session, CKU_CONTEXT_SPECIFIC, right, 4), CKR_OK);
  CK_ULONG length = 0;
  EXPECT_EQ(p11->C_Sign(session, const_cast<CK_BYTE_PTR>(message.data()), 1, nullptr, &length),
            CKR_OK);
  EXPECT_EQ(sign(10), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(sign(64), CKR_OK);
  EXPECT_TRUE(verifies(ec, message, signature, true));
  EXPECT_EQ(backend->reachedPhone, 2);
  ASSERT_EQ(p11->C_SignInit(session, &mechanism, privateKey(session)), CKR_OK);
  ASSERT_EQ(p11->C_Login(session, CKU_CONTEXT_SPECIFIC, right, 4), CKR_OK);
  EXPECT_EQ(p11->C_Logout(session), CKR_OK);
  EXPECT_EQ(sign(64), CKR_USER_NOT_LOGGED_IN);
  EXPECT_EQ(backend->reachedPhone, 2);
}

TEST_F(ModuleTest, DerivedSecretsAreSeenByEverySessionAndEndWithTheirOwn) {
  CK_SLOT_ID slot = slots()[0];
  CK_SESSION_HANDLE maker = open(slot);
  CK_SESSION_HANDLE other = open(slot);
  const Bytes point = makeTestCertificate(TestKeyKind::p256, "Peer").expectedPublicKeyData;
  backend->answer = Bytes(32, 0xCD);
  CK_ECDH1_DERIVE_PARAMS parameters{CKD_NULL, 0, nullptr, point.size(),
                                    const_cast<CK_BYTE_PTR>(point.data())};
  CK_MECHANISM mechanism{CKM_ECDH1_DERIVE, &parameters, sizeof parameters};
  CK_OBJECT_CLASS secretClass = CKO_SECRET_KEY;
  CK_BBOOL yes = CK_TRUE;
  auto derive = [&](CK_SESSION_HANDLE session, bool isPrivate, CK_OBJECT_HANDLE* secret) {
    std::vector<CK_ATTRIBUTE> tmpl{{CKA_CLASS, &secretClass, sizeof secretClass}};
    if (isPrivate) tmpl.push_back({CKA_PRIVATE, &yes, sizeof yes});
    return p11->C_DeriveKey(session, &mechanism, privateKey(session), tmpl.data(), tmpl.size(),
                            secret);
  };
  auto secrets = [&](CK_SESSION_HANDLE session) {
    return find(session, {{CKA_CLASS, &secretClass, sizeof secretClass}});
  };
  CK_OBJECT_HANDLE secret = 0;
  ASSERT_EQ(derive(maker, false, &secret), CKR_OK);
  EXPECT_EQ(secrets(other), std::vector<CK_OBJECT_HANDLE>{secret});
  EXPECT_EQ(attribute(other, secret, CKA_VALUE), *backend->answer);
  ASSERT_EQ(p11->C_CloseSession(maker), CKR_OK);
  EXPECT_TRUE(secrets(other).empty());
  CK_ATTRIBUTE value{CKA_VALUE, nullptr, 0};
  EXPECT_EQ(p11->C_GetAttributeValue(other, secret, &value, 1), CKR_OBJECT_HANDLE_INVALID);

  // Private ones are made for a logged-in user only, and go at logout.
  const size_t asked = backend->callCount();
  EXPECT_EQ(derive(other, true, &secret), CKR_USER_NOT_LOGGED_IN);
  EXPECT_EQ(backend->callCount(), asked);
  CK_UTF8CHAR pin[] = "1234";
  ASSERT_EQ(p11->C_Login(other, CKU_USER, pin, 4), CKR_OK);
  ASSERT_EQ(derive(other, true, &secret), CKR_OK);
  CK_OBJECT_HANDLE shared = 0;
  ASSERT_EQ(derive(other, false, &shared), CKR_OK);
  CK_SESSION_HANDLE third = open(slot);
  EXPECT_EQ(secrets(third).size(), 2u);
  ASSERT_EQ(p11->C_Logout(third), CKR_OK);
  EXPECT_EQ(secrets(third), std::vector<CK_OBJECT_HANDLE>{shared});
  EXPECT_EQ(p11->C_GetAttributeValue(other, secret, &value, 1), CKR_OBJECT_HANDLE_INVALID);
}

TEST_F(ModuleTest, TokenErrorsMapToTheTable) {
  CK_SESSION_HANDLE session = open(slots()[0]);
  const std::vector<std::pair<foundation::ErrorRecord, CK_RV>> table{
      {tkErrorRecord(TKErrorCode::notImplemented), CKR_FUNCTION_FAILED},
      {tkErrorRecord(TKErrorCode::communicationError), CKR_DEVICE_ERROR},
      {tkErrorRecord(TKErrorCode::authenticationFailed), CKR_FUNCTION_REJECTED},
      {tkErrorRecord(TKErrorCode::badParameter), CKR_FUNCTION_FAILED},  // no PIN was given
      {tkErrorRecord(TKErrorCode::authenticationNeeded), CKR_USER_NOT_LOGGED_IN},
      {tkErrorRecord(TKErrorCode::canceledByUser), CKR_FUNCTION_CANCELED},
      {tokenServiceError(TokenServiceErrorCode::timedOut), CKR_FUNCTION_FAILED},
      {tokenServiceError(TokenServiceErrorCode::pluginUnavailable), CKR_DEVICE_ERROR},
  };
  for (const auto& [error, expected] : table) {
    backend->failWith = error;
    Bytes signature;
    EXPECT_EQ(signOnce(session, CKM_ECDSA_SHA256, {'x'}, &signature), expected)
        << error.description();
    // The failed operation is over.
    CK_ULONG length = 64;
    EXPECT_EQ(p11->C_Sign(session, nullptr, 0, nullptr, &length), CKR_OPERATION_NOT_INITIALIZED);
  }
}

TEST_F(ModuleTest, StaleHandlesNullArgumentsAndAbsentFunctionsAreRefused) {
  CK_SLOT_ID slot = slots()[0];
  CK_SESSION_HANDLE session = open(slot);
  CK_OBJECT_HANDLE key = privateKey(session);
  EXPECT_EQ(p11->C_OpenSession(slot, 0, nullptr, nullptr, &session),
            CKR_SESSION_PARALLEL_NOT_SUPPORTED);
  EXPECT_EQ(p11->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, nullptr),
            CKR_ARGUMENTS_BAD);
  EXPECT_EQ(p11->C_GetSlotList(CK_TRUE, nullptr, nullptr), CKR_ARGUMENTS_BAD);
  EXPECT_EQ(p11->C_GetTokenInfo(slot, nullptr), CKR_ARGUMENTS_BAD);
  EXPECT_EQ(p11->C_SignInit(session, nullptr, key), CKR_ARGUMENTS_BAD);
  CK_MECHANISM withParameter{CKM_ECDSA_SHA256, &key, sizeof key};
  EXPECT_EQ(p11->C_SignInit(session, &withParameter, key), CKR_MECHANISM_PARAM_INVALID);
  CK_MECHANISM mechanism{CKM_ECDSA_SHA256, nullptr, 0};
  EXPECT_EQ(p11->C_SignInit(session, &mechanism, key + 1000), CKR_KEY_HANDLE_INVALID);
  CK_MECHANISM sha1{CKM_ECDSA_SHA1, nullptr, 0};
  EXPECT_EQ(p11->C_SignInit(session, &sha1, key), CKR_MECHANISM_INVALID);
  EXPECT_EQ(p11->C_DestroyObject(session, key), CKR_ACTION_PROHIBITED);
  CK_BYTE buffer[8];
  EXPECT_EQ(p11->C_GenerateRandom(session, buffer, sizeof buffer), CKR_RANDOM_NO_RNG);
  EXPECT_EQ(p11->C_SeedRandom(session, buffer, sizeof buffer), CKR_RANDOM_NO_RNG);
  EXPECT_EQ(p11->C_VerifyInit(session, &mechanism, key), CKR_FUNCTION_NOT_SUPPORTED);
  EXPECT_EQ(p11->C_EncryptInit(session, &mechanism, key), CKR_FUNCTION_NOT_SUPPORTED);

  ASSERT_EQ(p11->C_CloseSession(session), CKR_OK);
  EXPECT_EQ(p11->C_CloseSession(session), CKR_SESSION_HANDLE_INVALID);
  EXPECT_EQ(p11->C_SignInit(session, &mechanism, key), CKR_SESSION_HANDLE_INVALID);
  EXPECT_EQ(p11->C_GenerateRandom(session, buffer, sizeof buffer), CKR_SESSION_HANDLE_INVALID);
  // An object handle of another token's slot is not one of this session's.
  auto rsa = makeTestCertificate(TestKeyKind::rsa2048, "Brellis RSA");
  backend->setToken("SecondToken", FakeTokenBackend::itemsFor(rsa, false), rsa.privateKeyDer);
  CK_SESSION_HANDLE other = open(slots()[1]);
  CK_ATTRIBUTE label{CKA_LABEL, nullptr, 0};
  EXPECT_EQ(p11->C_GetAttributeValue(other, key, &label, 1), CKR_OBJECT_HANDLE_INVALID);
}

TEST_F(ModuleTest, FinalizeEndsWhileAnOperationWaitsAndOtherSessionsGoOn) {
  CK_SLOT_ID slot = slots()[0];
  CK_SESSION_HANDLE waiting = open(slot);
  CK_SESSION_HANDLE other = open(slot);
  CK_OBJECT_HANDLE key = privateKey(waiting);
  backend->block = true;
  auto blocked = std::async(std::launch::async, [&] {
    Bytes signature;
    return signOnce(waiting, CKM_ECDSA_SHA256, {'x'}, &signature);
  });
  ASSERT_TRUE(backend->waitUntilBlocked());
  // The waiting call holds no lock the other session needs.
  CK_ATTRIBUTE label{CKA_LABEL, nullptr, 0};
  EXPECT_EQ(p11->C_GetAttributeValue(other, key, &label, 1), CKR_OK);
  EXPECT_EQ(p11->C_Finalize(nullptr), CKR_OK);
  EXPECT_EQ(blocked.get(), CKR_CRYPTOKI_NOT_INITIALIZED);
  EXPECT_EQ(p11->C_GetAttributeValue(other, key, &label, 1), CKR_CRYPTOKI_NOT_INITIALIZED);
}

TEST_F(ModuleTest, AForkedChildMustInitializeAgain) {
  // A fork without exec is the subject here. It runs in a process of its own that runs this test
  // alone (the death test's re-executed child), where no other thread exists when it forks.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto forkAndCheck = [&] {
    if (slots().size() != 1) ::_exit(32);
    pid_t child = ::fork();
    if (child == 0) {
      CK_ULONG count = 0;
      int status = 0;
      if (p11->C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_CRYPTOKI_NOT_INITIALIZED) status |= 1;
      if (p11->C_Initialize(nullptr) != CKR_OK) status |= 2;
      if (p11->C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_OK || count != 1) status |= 4;
      if (p11->C_Finalize(nullptr) != CKR_OK) status |= 8;
      ::_exit(status);
    }
    int status = -1;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) ::_exit(64);
    // The parent's module is untouched.
    ::_exit(WEXITSTATUS(status) | (slots().size() == 1 ? 0 : 16));
  };
  EXPECT_EXIT(forkAndCheck(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace brellis::platform::crypto_token_kit::pkcs11
