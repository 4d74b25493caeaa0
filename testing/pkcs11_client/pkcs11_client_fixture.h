#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/crypto_token_kit/test_support/test_certificates.h"
#include "testing/support/temporary_state_root.h"

namespace brellis::testing {

// What a client program printed and how it ended.
struct ClientRun {
  int status = -1;  // exit status; -1 when it was killed (also at its time limit)
  std::string out;
  std::string err;
};

// Runs `program` with `arguments` (stdin from /dev/null), both outputs captured, killed when it
// outlives `limit`. Sanitizer runtimes the module needs are preloaded into the client.
ClientRun runClient(const std::string& program, const std::vector<std::string>& arguments,
                    std::chrono::milliseconds limit = std::chrono::seconds(60));

// For a forked child about to run a client that loads the module: preloads the sanitizer runtime
// the module was built with (nothing in a build without one).
void prepareClientEnvironment();

// A state root in which the token plug-in BrellisToken serves one token instance "UnlockToken"
// of its class, made from `certificate` as the main program installs it (key and certificate
// item, the key's PIN constraints optional), with the group defaults of a paired computer.
// BRELLIS_TOKEN_MANIFEST names the plug-in, so the module loaded by any child process (pkcs11-tool,
// p11-kit server) serves this token.
class Pkcs11ClientFixture {
 public:
  struct Settings {
    bool requirePIN = false;
    bool pinConstraints = true;
    int64_t unlockVersion = 1;
  };
  Pkcs11ClientFixture(const platform::crypto_token_kit::test_support::TestCertificate& certificate,
                      Settings settings);
  ~Pkcs11ClientFixture();

  static std::string modulePath();
  // pkcs11-tool --module <module> arguments...
  ClientRun pkcs11Tool(const std::vector<std::string>& arguments) const;
  // Writes `bytes` to a file of the state root and returns its path.
  std::filesystem::path writeFile(const std::string& name, const std::string& bytes) const;
  std::string readFile(const std::filesystem::path& path) const;
  const std::filesystem::path& root() const { return root_.path(); }
  // Installs the token instance again, its key asking for a PIN on every use or not.
  void installToken(bool pinConstraints) const;
  // Removes the token instance (as the main program does when the feature is switched off).
  void removeToken() const;

 private:
  TemporaryStateRoot root_;
  platform::foundation::Bytes certificate_;
  std::optional<std::string> previousManifest_;
};

}  // namespace brellis::testing
