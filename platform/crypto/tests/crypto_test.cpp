#include "platform/crypto/crypto.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/foundation/error_record.h"
#include "platform/foundation/hex.h"

namespace brellis::platform::crypto {
namespace {

Bytes fromHex(const std::string& hex) { return foundation::hexDecode(hex).value(); }

std::string toHex(const Bytes& bytes) { return foundation::hexEncode(bytes); }

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

CryptoError::Status statusOf(const std::function<void()>& operation) {
  try {
    operation();
  } catch (const CryptoError& error) {
    return error.status();
  }
  ADD_FAILURE() << "no CryptoError";
  return CryptoError::Status::internal;
}

// Runs the python oracle; returns its stdout (trimmed) and exit status.
std::pair<std::string, int> oracle(const std::string& arguments) {
  std::string command = std::string("python3 ") + BRELLIS_AES_GCM_ORACLE + " " + arguments;
  FILE* pipe = popen(command.c_str(), "r");
  std::string output;
  char buffer[4096];
  while (size_t n = fread(buffer, 1, sizeof(buffer), pipe)) output.append(buffer, n);
  int status = pclose(pipe);
  while (!output.empty() && output.back() == '\n') output.pop_back();
  return {output, WEXITSTATUS(status)};
}

TEST(Sha256Test, KnownAnswers) {
  EXPECT_EQ(toHex(sha256(Bytes{})),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(toHex(sha256(bytesOf("abc"))),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(toHex(sha256(bytesOf("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"))),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  Bytes million(1000000, 'a');
  EXPECT_EQ(toHex(sha256(million.data(), million.size())),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(AesGcmTest, McGrewViegaVectors) {
  // Test case 13: 256-bit zero key, zero nonce, empty plaintext.
  SealedBox empty = aesGcmSeal(Bytes(32), Bytes{}, Bytes(12));
  EXPECT_TRUE(empty.ciphertext.empty());
  EXPECT_EQ(toHex(empty.tag), "530f8afbc74536b9a963b4f1c4cb738b");
  EXPECT_TRUE(aesGcmOpen(Bytes(32), empty.combined()).empty());

  // Test case 14: one zero block.
  SealedBox zeros = aesGcmSeal(Bytes(32), Bytes(16), Bytes(12));
  EXPECT_EQ(toHex(zeros.ciphertext), "cea7403d4d606b6e074ec5d3baf39d18");
  EXPECT_EQ(toHex(zeros.tag), "d0d1c8a799996bf0265b98b5d48ab919");

  // Test case 15 (test case 16's key, nonce and plaintext without additional data, which this
  // interface does not take).
  Bytes key = fromHex("feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308");
  Bytes plaintext = fromHex(
      "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e24"
      "49a6b525b16aedf5aa0de657ba637b391aafd255");
  SealedBox box = aesGcmSeal(key, plaintext, fromHex("cafebabefacedbaddecaf888"));
  EXPECT_EQ(toHex(box.ciphertext),
            "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b0"
            "8b1056828838c5f61e6393ba7a0abcc9f662898015ad");
  EXPECT_EQ(toHex(box.tag), "b094dac5d93471bdec1a502270e3cc6c");
  EXPECT_EQ(aesGcmOpen(key, box.combined()), plaintext);
  EXPECT_EQ(box.combined().size(), 12 + plaintext.size() + 16);
}

TEST(AesGcmTest, EveryFlippedBitFailsAuthentication) {
  Bytes key = randomBytes(32);
  Bytes sealed = aesGcmSeal(key, bytesOf("a short message")).combined();
  for (size_t bit = 0; bit < sealed.size() * 8; ++bit) {
    Bytes tampered = sealed;
    tampered[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    EXPECT_EQ(statusOf([&] { aesGcmOpen(key, tampered); }),
              CryptoError::Status::authenticationFailure)
        << "bit " << bit;
  }
}

TEST(AesGcmTest, SizesAreChecked) {
  Bytes key(32);
  EXPECT_EQ(statusOf([&] { aesGcmOpen(key, Bytes(27)); }),
            CryptoError::Status::incorrectParameterSize);
  EXPECT_EQ(statusOf([&] { aesGcmOpen(key, Bytes(28)); }),
            CryptoError::Status::authenticationFailure);
  for (size_t size : {0, 15, 17, 31, 33}) {
    EXPECT_EQ(statusOf([&] { aesGcmSeal(Bytes(size), Bytes{}); }),
              CryptoError::Status::incorrectKeySize);
    EXPECT_EQ(statusOf([&] { aesGcmOpen(Bytes(size), Bytes(40)); }),
              CryptoError::Status::incorrectKeySize);
  }
  EXPECT_EQ(statusOf([&] { aesGcmSeal(key, Bytes{}, Bytes(11)); }),
            CryptoError::Status::incorrectParameterSize);
  for (size_t size : {16, 24, 32}) {
    Bytes k = randomBytes(size);
    EXPECT_EQ(aesGcmOpen(k, aesGcmSeal(k, bytesOf("x")).combined()), bytesOf("x"));
  }
}

TEST(CryptoErrorTest, BridgesAsCryptoKitErrorByCasePosition) {
  Bytes key(32);
  auto recordOf = [](const std::function<void()>& operation) {
    try {
      operation();
    } catch (...) {
      return foundation::currentExceptionRecord();
    }
    return foundation::ErrorRecord{};
  };
  for (auto [operation, code] : std::vector<std::pair<std::function<void()>, int64_t>>{
           {[&] { aesGcmSeal(Bytes(5), Bytes{}); }, 0},
           {[&] { aesGcmOpen(key, Bytes(27)); }, 1},
           {[&] { aesGcmOpen(key, Bytes(28)); }, 2}}) {
    auto record = recordOf(operation);
    EXPECT_EQ(record.domain, "CryptoKit.CryptoKitError");
    EXPECT_EQ(record.code, code);
  }
}

TEST(AesGcmTest, WrongKeyFailsAndNoncesAreFresh) {
  Bytes key = randomBytes(32);
  SealedBox first = aesGcmSeal(key, bytesOf("same"));
  SealedBox second = aesGcmSeal(key, bytesOf("same"));
  EXPECT_NE(first.nonce, second.nonce);
  EXPECT_NE(first.nonce, Bytes(12));
  EXPECT_EQ(statusOf([&] { aesGcmOpen(randomBytes(32), first.combined()); }),
            CryptoError::Status::authenticationFailure);
}

TEST(AesGcmTest, InteroperatesWithPythonCryptography) {
  Bytes key = randomBytes(32);
  Bytes plaintext = randomBytes(1000);
  SealedBox ours = aesGcmSeal(key, plaintext);
  auto [opened, openStatus] = oracle("open " + toHex(key) + " " + toHex(ours.combined()));
  ASSERT_EQ(openStatus, 0);
  EXPECT_EQ(opened, toHex(plaintext));

  Bytes nonce = randomBytes(12);
  auto [theirs, sealStatus] =
      oracle("seal " + toHex(key) + " " + toHex(nonce) + " " + toHex(plaintext));
  ASSERT_EQ(sealStatus, 0);
  EXPECT_EQ(aesGcmOpen(key, fromHex(theirs)), plaintext);
  EXPECT_EQ(theirs, toHex(aesGcmSeal(key, plaintext, nonce).combined()));

  Bytes tampered = ours.combined();
  tampered.back() ^= 1;
  EXPECT_EQ(oracle("open " + toHex(key) + " " + toHex(tampered)).second, 1);
}

TEST(CryptoHelpersTest, ConstantTimeEqualAndWipe) {
  EXPECT_TRUE(constantTimeEqual(Bytes{}, Bytes{}));
  EXPECT_TRUE(constantTimeEqual(bytesOf("abc"), bytesOf("abc")));
  EXPECT_FALSE(constantTimeEqual(bytesOf("abc"), bytesOf("abd")));
  EXPECT_FALSE(constantTimeEqual(bytesOf("abc"), bytesOf("ab")));
  Bytes secret = bytesOf("secret");
  wipe(secret);
  EXPECT_EQ(secret, Bytes(6, 0));
  EXPECT_EQ(randomBytes(0).size(), 0u);
  EXPECT_EQ(randomBytes(64).size(), 64u);
}

}  // namespace
}  // namespace brellis::platform::crypto
