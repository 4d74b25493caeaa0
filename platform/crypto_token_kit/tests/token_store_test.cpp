#include "platform/crypto_token_kit/token_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "platform/crypto_token_kit/sec_certificate.h"
#include "platform/crypto_token_kit/test_support/test_certificates.h"
#include "platform/crypto_token_kit/tk_token_driver_configuration.h"
#include "platform/crypto_token_kit/tk_token_keychain_certificate.h"
#include "platform/crypto_token_kit/tk_token_keychain_key.h"
#include "testing/support/temporary_state_root.h"

namespace brellis::platform::crypto_token_kit {
namespace {

using test_support::makeTestCertificate;
using test_support::TestKeyKind;

constexpr const char* kClass = "com.example.token";

// Runs the store peer with `args`; returns its exit status and standard output.
std::pair<int, std::string> runPeer(const std::vector<std::string>& args) {
  std::string command = BRELLIS_TOKEN_STORE_PEER;
  for (const auto& arg : args) command += " '" + arg + "'";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return {-1, ""};
  std::string out;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  int status = ::pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

class TokenStoreTest : public ::testing::Test {
 protected:
  TKTokenDriverConfiguration driver() {
    auto all = TKTokenDriverConfiguration::driverConfigurations();
    return all.at(kClass);
  }
  TKTokenKeychainItems items(TestKeyKind kind, const std::string& label) {
    auto certificate = SecCertificate::createWithData(makeTestCertificate(kind).der);
    auto key = TKTokenKeychainKey::initWithCertificate(*certificate, int64_t{6275328});
    auto cert = TKTokenKeychainCertificate::initWithCertificate(*certificate, int64_t{1});
    key->setLabel(label);
    return {key, cert};
  }
  brellis::testing::TemporaryStateRoot root_;
};

TEST_F(TokenStoreTest, AClassExistsOnceRegistered) {
  EXPECT_TRUE(TKTokenDriverConfiguration::driverConfigurations().empty());
  ASSERT_TRUE(TKTokenDriverConfiguration::registerDriverClass(kClass));
  ASSERT_TRUE(TKTokenDriverConfiguration::registerDriverClass("com.example.other"));
  auto all = TKTokenDriverConfiguration::driverConfigurations();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all.at(kClass).classID(), kClass);
  EXPECT_TRUE(all.at(kClass).tokenConfigurations().empty());
  EXPECT_TRUE(std::filesystem::exists(root_.path() / "token" / "com.example.token.plist"));

  // Registering again keeps what is there.
  driver().addTokenConfigurationForTokenInstanceID("A");
  ASSERT_TRUE(TKTokenDriverConfiguration::registerDriverClass(kClass));
  EXPECT_EQ(driver().tokenConfigurations().size(), 1u);

  for (const char* unsafe : {"", ".", "..", "a/b"}) {
    EXPECT_FALSE(TKTokenDriverConfiguration::registerDriverClass(unsafe)) << unsafe;
  }
  EXPECT_FALSE(TokenStore::update("com.example.unregistered", [](auto&) {}));
}

TEST_F(TokenStoreTest, ItemsAreWrittenThroughAndAddReplacesTheInstance) {
  ASSERT_TRUE(TKTokenDriverConfiguration::registerDriverClass(kClass));
  auto configuration = driver().addTokenConfigurationForTokenInstanceID("UnlockToken");
  EXPECT_TRUE(configuration.keychainItems().empty());
  ASSERT_TRUE(configuration.setKeychainItems(items(TestKeyKind::p256, "first")));

  // A fresh handle sees the items at once.
  auto read = driver().tokenConfigurations().at("UnlockToken").keychainItems();
  ASSERT_EQ(read.size(), 2u);
  EXPECT_EQ(read[0]->label(), "first");

  // Adding the same instance again replaces it by one without items.
  auto replaced = driver().addTokenConfigurationForTokenInstanceID("UnlockToken");
  EXPECT_TRUE(replaced.keychainItems().empty());
  EXPECT_EQ(driver().tokenConfigurations().size(), 1u);

  driver().removeTokenConfigurationForTokenInstanceID("UnlockToken");
  EXPECT_TRUE(driver().tokenConfigurations().empty());
  // A handle of a removed instance reads nothing and writes nothing.
  EXPECT_TRUE(configuration.keychainItems().empty());
  EXPECT_FALSE(configuration.setKeychainItems(items(TestKeyKind::p256, "late")));
  EXPECT_TRUE(driver().tokenConfigurations().empty());
}

TEST_F(TokenStoreTest, RemovingAMissingInstanceLeavesTheFileAlone) {
  ASSERT_TRUE(TKTokenDriverConfiguration::registerDriverClass(kClass));
  driver().addTokenConfigurationForTokenInstanceID("Other");
  auto path = root_.path() / "token" / "com.example.token.plist";
  struct stat before {};
  ASSERT_EQ(::stat(path.c_str(), &before), 0);
  driver().removeTokenConfigurationForTokenInstanceID("UnlockToken");
  struct stat after {};
  ASSERT_EQ(::stat(path.c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_EQ(driver().tokenConfigurations().count("Other"), 1u);
}

TEST_F(TokenStoreTest, ACorruptFileReadsAsEmptyAndIsRepairedByTheNextWrite) {
  ASSERT_TRUE(TKTokenDriverConfiguration::registerDriverClass(kClass));
  {
    std::ofstream file(root_.path() / "token" / "com.example.token.plist",
                       std::ios::binary | std::ios::trunc);
    file << "bplist00 garbage";
  }
  EXPECT_TRUE(driver().tokenConfigurations().empty());
  auto configuration = driver().addTokenConfigurationForTokenInstanceID("UnlockToken");
  EXPECT_TRUE(configuration.setKeychainItems(items(TestKeyKind::rsa2048, "rsa")));
  EXPECT_EQ(driver().tokenConfigurations().at("UnlockToken").keychainItems().size(), 2u);
}

TEST_F(TokenStoreTest, AnotherProcessReadsWhatThisOneWroteAndTheOtherWayRound) {
  ASSERT_TRUE(TKTokenDriverConfiguration::registerDriverClass(kClass));
  driver()
      .addTokenConfigurationForTokenInstanceID("UnlockToken")
      .setKeychainItems(items(TestKeyKind::p384, "Unlock-Key"));
  auto [status, out] = runPeer({"list", kClass});
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out, "UnlockToken 2 Unlock-Key,-\n");

  auto der = makeTestCertificate(TestKeyKind::p256).der;
  auto certPath = root_.path() / "cert.der";
  std::ofstream(certPath, std::ios::binary)
      .write(reinterpret_cast<const char*>(der.data()), static_cast<long>(der.size()));
  EXPECT_EQ(runPeer({"add", kClass, "peer", "1", certPath.string()}).first, 0);
  auto configurations = driver().tokenConfigurations();
  ASSERT_EQ(configurations.count("peer-0"), 1u);
  auto peerItems = configurations.at("peer-0").keychainItems();
  ASSERT_EQ(peerItems.size(), 2u);
  EXPECT_EQ(peerItems[0]->label(), "peer-key");
  EXPECT_EQ(std::dynamic_pointer_cast<TKTokenKeychainCertificate>(peerItems[1])->data(), der);
}

TEST_F(TokenStoreTest, WritersInSeveralProcessesLoseNothing) {
  ASSERT_TRUE(TKTokenDriverConfiguration::registerDriverClass(kClass));
  auto der = makeTestCertificate(TestKeyKind::p256).der;
  auto certPath = root_.path() / "cert.der";
  std::ofstream(certPath, std::ios::binary)
      .write(reinterpret_cast<const char*>(der.data()), static_cast<long>(der.size()));
  constexpr int kPerProcess = 25;
  std::vector<int> children;
  for (const char* prefix : {"a", "b", "c"}) {
    int pid = brellis::testing::startProgram(
        BRELLIS_TOKEN_STORE_PEER,
        {"add", kClass, prefix, std::to_string(kPerProcess), certPath.string()});
    ASSERT_GT(pid, 0);
    children.push_back(pid);
  }
  for (int pid : children) EXPECT_EQ(brellis::testing::waitProgram(pid), 0);
  auto configurations = driver().tokenConfigurations();
  EXPECT_EQ(configurations.size(), 3u * kPerProcess);
  for (const auto& [instance, configuration] : configurations) {
    EXPECT_EQ(configuration.keychainItems().size(), 2u) << instance;
  }
}

}  // namespace
}  // namespace brellis::platform::crypto_token_kit
