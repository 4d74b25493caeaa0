// A second process for the token-store tests. Commands:
//   register <class>
//   add <class> <instance prefix> <count> <certificate DER file>
//       adds <prefix>-0 ... <prefix>-<count-1>, each with a key and a certificate item
//   list <class>
//       one line per instance: "<instance> <item count> <label>,<label>..."
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/crypto_token_kit/sec_certificate.h"
#include "platform/crypto_token_kit/tk_token_driver_configuration.h"
#include "platform/crypto_token_kit/tk_token_keychain_certificate.h"
#include "platform/crypto_token_kit/tk_token_keychain_key.h"

using namespace brellis::platform::crypto_token_kit;

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const std::string command = argv[1];
  const std::string classID = argv[2];
  if (command == "register")
    return TKTokenDriverConfiguration::registerDriverClass(classID) ? 0 : 1;

  auto all = TKTokenDriverConfiguration::driverConfigurations();
  auto found = all.find(classID);
  if (found == all.end()) {
    std::puts("no class");
    return 3;
  }
  const auto& driver = found->second;
  if (command == "list") {
    for (const auto& [instance, configuration] : driver.tokenConfigurations()) {
      auto items = configuration.keychainItems();
      std::string labels;
      for (const auto& item : items) {
        if (!labels.empty()) labels += ",";
        labels += item->label().value_or("-");
      }
      std::printf("%s %zu %s\n", instance.c_str(), items.size(), labels.c_str());
    }
    return 0;
  }
  if (command == "add" && argc == 6) {
    std::ifstream file(argv[5], std::ios::binary);
    brellis::platform::foundation::Bytes der((std::istreambuf_iterator<char>(file)),
                                             std::istreambuf_iterator<char>());
    auto certificate = SecCertificate::createWithData(der);
    if (!certificate) return 4;
    const int count = std::atoi(argv[4]);
    for (int i = 0; i < count; ++i) {
      auto key = TKTokenKeychainKey::initWithCertificate(*certificate, int64_t{7});
      auto cert = TKTokenKeychainCertificate::initWithCertificate(*certificate, std::string("c"));
      if (!key || !cert) return 5;
      key->setLabel("peer-key");
      cert->setLabel("peer-cert");
      auto configuration = driver.addTokenConfigurationForTokenInstanceID(std::string(argv[3]) +
                                                                          "-" + std::to_string(i));
      if (!configuration.setKeychainItems({key, cert})) return 6;
    }
    return 0;
  }
  return 2;
}
