#include "persistent_token/symmetric_crypto_service.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "daemon_client/tarvo_daemon_connection.h"
#include "daemon_client/tests/fake_daemon_channel.h"
#include "persistent_token/velkor_shared_secret.h"
#include "platform/crypto/crypto.h"
#include "platform/dispatch/task.h"
#include "platform/foundation/error_record.h"

namespace brellis::persistent_token {
namespace {

namespace fnd = platform::foundation;
namespace crypto = platform::crypto;
namespace xpc = platform::xpc;
using fnd::Bytes;
using Status = crypto::CryptoError::Status;

Bytes unhex(const std::string& text) {
  Bytes out;
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
  }
  return out;
}

Bytes counting(size_t count) {
  Bytes out(count);
  for (size_t i = 0; i < count; ++i) out[i] = static_cast<uint8_t>(i);
  return out;
}

Status statusOf(const std::function<void()>& body) {
  try {
    body();
  } catch (const crypto::CryptoError& error) {
    return error.status();
  }
  ADD_FAILURE() << "nothing was raised";
  return Status::internal;
}

TEST(VelkorSharedSecretTest, DerivesTheX963KnownAnswers) {
  VelkorSharedSecret z(counting(32));
  const Bytes one = unhex("04a6950a06d3e3308ad7d3606ef810eb124e3943404ca746a12c51c7bf776839");
  EXPECT_EQ(z.x963DerivedSymmetricKey(SHA256{}, Bytes{}, 32).bytes(), one);
  // SHA-256(Z ‖ 00 00 00 01) and nothing else: not the hash of Z alone, not a little-endian or
  // leading counter.
  Bytes block = counting(32);
  block.insert(block.end(), {0, 0, 0, 1});
  EXPECT_EQ(crypto::sha256(block), one);

  Bytes forty = one;
  Bytes tail = unhex("0f8d842ac9cb6234");
  forty.insert(forty.end(), tail.begin(), tail.end());
  EXPECT_EQ(z.x963DerivedSymmetricKey(SHA256{}, Bytes{}, 40).bytes(), forty);

  VelkorSharedSecret nist(unhex("96c05619d56c328ab95fe84b18264b08725b85e33fd34f08"));
  EXPECT_EQ(nist.x963DerivedSymmetricKey(SHA256{}, Bytes{}, 16).bytes(),
            unhex("443024c3dae66b95e6f5670601558f71"));

  // Shared info follows the counter.
  Bytes info = {0xAA, 0xBB};
  Bytes withInfo = counting(32);
  withInfo.insert(withInfo.end(), {0, 0, 0, 1, 0xAA, 0xBB});
  EXPECT_EQ(z.x963DerivedSymmetricKey(SHA256{}, info, 32).bytes(), crypto::sha256(withInfo));

  EXPECT_TRUE(z.x963DerivedSymmetricKey(SHA256{}, Bytes{}, 0).bytes().empty());
  EXPECT_EQ(z.withUnsafeBytes([](const uint8_t* p, size_t n) { return Bytes(p, p + n); }),
            counting(32));
}

TEST(VelkorSharedSecretTest, RefusesALengthAtTheBoundComputedIn64Bits) {
  VelkorSharedSecret z(counting(32));
  const uint64_t bound = 32ull * 4294967295ull;  // 137,438,953,440: above 32 bits
  ASSERT_EQ(bound, 137438953440ull);
  for (uint64_t length : {bound, bound + 1, ~uint64_t{0}}) {
    try {
      z.x963DerivedSymmetricKey(SHA256{}, Bytes{}, length);
      ADD_FAILURE() << length;
    } catch (const crypto::CryptoError& error) {
      EXPECT_EQ(error.status(), Status::incorrectParameterSize);
      EXPECT_STREQ(error.what(), "Invalid parameter size");
    }
  }
}

TEST(SymmetricCryptoServiceTest, SealsToTheKnownFrameAndEveryFlippedBitFailsToOpen) {
  SymmetricKey key = deriveSessionKey(counting(32));
  Bytes sealed = crypto::aesGcmSeal(key.bytes(), Bytes{}, counting(12)).combined();
  EXPECT_EQ(sealed, unhex("000102030405060708090a0bd062caeef4b651fffa6bb63d08413b85"));
  EXPECT_TRUE(openMessage(key, sealed).empty());

  Bytes plaintext = {'b', 'p', 'l', 'i', 's', 't'};
  Bytes first = sealMessage(key, plaintext);
  Bytes second = sealMessage(key, plaintext);
  ASSERT_EQ(first.size(), 12 + plaintext.size() + 16);
  EXPECT_NE(Bytes(first.begin(), first.begin() + 12), Bytes(second.begin(), second.begin() + 12));
  EXPECT_EQ(openMessage(key, first), plaintext);
  EXPECT_EQ(openMessage(key, second), plaintext);

  for (size_t bit = 0; bit < first.size() * 8; ++bit) {
    Bytes altered = first;
    altered[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    EXPECT_EQ(statusOf([&] { openMessage(key, altered); }), Status::authenticationFailure)
        << "bit " << bit;
  }
  EXPECT_EQ(statusOf([&] { openMessage(key, Bytes(sealed.begin(), sealed.end() - 1)); }),
            Status::incorrectParameterSize);
  SymmetricKey other = deriveSessionKey(counting(31));
  EXPECT_EQ(statusOf([&] { openMessage(other, first); }), Status::authenticationFailure);
}

// The service against a daemon client whose replies the test decides.
class SymmetricCryptoServiceDaemonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    channel_ = std::make_shared<daemon_client::FakeDaemonChannel>(
        [this](const std::string&,
               const std::vector<xpc::Value>& arguments) -> std::vector<xpc::Value> {
          if (const auto* account = std::get_if<std::string>(&arguments.at(0).storage())) {
            lastAccount_ = *account;
          }
          if (fail_)
            return {xpc::Value(), xpc::Value::error(fnd::ErrorRecord{"TestDaemon", 9, {}})};
          return {xpc::Value::data(counting(32)), xpc::Value()};
        });
    SymmetricCryptoService::setDaemonConnection(
        daemon_client::TarvoDaemonConnection::makeWithChannel(channel_));
  }
  void TearDown() override { SymmetricCryptoService::setDaemonConnection(nullptr); }

  template <class T>
  T run(asio::awaitable<T> op) {
    return platform::dispatch::blockOn(platform::dispatch::globalExecutor(), std::move(op));
  }

  std::shared_ptr<daemon_client::FakeDaemonChannel> channel_;
  std::string lastAccount_;
  std::atomic<bool> fail_{false};
};

TEST_F(SymmetricCryptoServiceDaemonTest, FetchesTheKeyForEveryOperationAndRaisesItsFailures) {
  Bytes sealed = run(SymmetricCryptoService::encrypt(Bytes{1, 2, 3}));
  EXPECT_EQ(run(SymmetricCryptoService::decrypt(sealed)), (Bytes{1, 2, 3}));
  EXPECT_EQ(openMessage(deriveSessionKey(counting(32)), sealed), (Bytes{1, 2, 3}));
  EXPECT_EQ(channel_->selectors().size(), 2u);
  EXPECT_EQ(lastAccount_, SymmetricCryptoService::accountName());

  // 27 bytes are refused, but only after the key was fetched; 28 open to empty.
  EXPECT_EQ(statusOf([&] { run(SymmetricCryptoService::decrypt(Bytes(27, 0))); }),
            Status::incorrectParameterSize);
  EXPECT_EQ(channel_->selectors().size(), 3u);
  Bytes empty = run(SymmetricCryptoService::encrypt(Bytes{}));
  ASSERT_EQ(empty.size(), 28u);
  EXPECT_TRUE(run(SymmetricCryptoService::decrypt(empty)).empty());

  fail_ = true;
  try {
    run(SymmetricCryptoService::encrypt(Bytes{1}));
    ADD_FAILURE() << "sealing without a shared secret succeeded";
  } catch (const fnd::ErrorException& error) {
    EXPECT_EQ(error.record().domain, "TestDaemon");
    EXPECT_EQ(error.record().code, 9);
  }
  EXPECT_THROW(run(SymmetricCryptoService::decrypt(sealed)), fnd::ErrorException);
}

TEST(SymmetricCryptoServiceErrorTest, BridgesWithTheCasePosition) {
  SymmetricCryptoServiceError error(
      SymmetricCryptoServiceError::Case::cannotCreateCombinedEncryptedData);
  EXPECT_EQ(error.toRecord().code, 3);
  EXPECT_EQ(error.description(), "cannotCreateCombinedEncryptedData");
  EXPECT_EQ(
      SymmetricCryptoServiceError(SymmetricCryptoServiceError::Case::iOSUnlockCertificateNotFound)
          .toRecord()
          .code,
      0);
}

}  // namespace
}  // namespace brellis::persistent_token
