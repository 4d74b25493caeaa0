#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "testing/pkcs11_client/pkcs11_client_fixture.h"

namespace brellis::testing {

// The outside parties of a key operation as separate processes in the fixture's state root: the
// test daemon (signed by a test authority the state root trusts) handing out the shared secret,
// and the simulated phone paired as "PHONE-1", holding the certificate's private key and
// expecting the PIN kPin. The group defaults carry the pairing identity and the container peer
// the phone answers to.
class PhoneFixture : public Pkcs11ClientFixture {
 public:
  static constexpr const char* kPin = "1234";

  PhoneFixture(const platform::crypto_token_kit::test_support::TestCertificate& certificate,
               Settings settings);
  ~PhoneFixture();

  // How the copy of the test daemon is signed: by the trusted test authority for the daemon's
  // identifier, not at all, signed and then changed by one byte, or for another identifier.
  enum class DaemonSigning { valid, none, tampered, otherIdentifier };
  struct DaemonSetup {
    DaemonSigning signing = DaemonSigning::valid;
    // More arguments of the daemon (its unlock data and status files).
    std::vector<std::string> arguments;
  };

  // False (with the reason in `why`) when a party did not start.
  bool start(std::string* why);
  bool start(std::string* why, DaemonSetup daemon);
  // Kills the daemon with SIGKILL (and reaps it).
  void killDaemon();
  // Starts the daemon again with the same program and arguments; false when it is not ready in
  // time.
  bool restartDaemon();
  // The daemon's calls so far (the selector of each line of its call log).
  std::vector<std::string> daemonCalls() const;
  // The phone's event lines so far.
  std::vector<std::string> phoneEvents() const;
  // Event lines that carried a request.
  size_t requestsSeen() const;
  // The certificate's public key in PEM (an openssl oracle input).
  std::filesystem::path publicKeyPEM() const { return root() / "certificate-public.pem"; }

 private:
  pid_t spawn(const std::vector<std::string>& command, const std::filesystem::path& log);

  bool startDaemon();

  std::string privateKeyPEM_;
  std::vector<pid_t> children_;
  std::vector<std::string> daemonCommand_;
  pid_t daemon_ = -1;
};

// Runs openssl with `arguments`; true when it exits 0.
bool openssl(const std::vector<std::string>& arguments, std::string* output = nullptr);

}  // namespace brellis::testing
