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

// The environment of a client program that may load the module: this process's environment,
// then BRELLIS_TOKEN_MANIFEST naming the token plug-in, the sanitizer runtime the module was
// built with (nothing in a build without one) and `extra` ("NAME=value", last one wins). Made in
// the parent, so the test never changes its own environment and a forked child only execs.
std::vector<std::string> clientEnvironment(const std::vector<std::string>& extra = {});

// Runs `program` with `arguments` (stdin from /dev/null) in clientEnvironment(extra), both
// outputs captured, killed when it outlives `limit`.
ClientRun runClient(const std::string& program, const std::vector<std::string>& arguments,
                    std::chrono::milliseconds limit = std::chrono::seconds(60),
                    const std::vector<std::string>& extra = {});

// A state root in which the token plug-in BrellisToken serves one token instance "UnlockToken"
// of its class, made from `certificate` as the main program installs it (key and certificate
// item, the key's PIN constraints optional), with the group defaults of a paired computer.
// The clients' environment names the plug-in, so the module loaded by a client (pkcs11-tool,
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

  static std::string modulePath();
  // The manifest of the token plug-in, which the clients' environment names.
  static std::string manifestPath();
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
};

}  // namespace brellis::testing
