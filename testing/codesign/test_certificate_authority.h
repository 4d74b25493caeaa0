#pragma once

// Test certificates for code signing, made with OpenSSL at test time.
//
// A TestCertificateAuthority is a self-signed root plus two intermediates that play the two
// issuers the maker's production requirement names:
//   - "developerIdCa": carries the extension 1.2.840.113635.100.6.2.6 (Developer ID CA)
//   - "wwdrCa":        carries the extension 1.2.840.113635.100.6.2.1 (Worldwide Developer
//                      Relations)
// Leaves are issued from a LeafProfile; the presets cover the four branches of the production
// requirement (Developer ID, development, Mac App Store, TestFlight), and any field can be
// changed to make a certificate that must be refused (another OU, a missing extension, another
// issuer). All keys are EC P-256.
//
// Usage in a test:
//   auto ca = TestCertificateAuthority::create();
//   ca.installAnchor(stateRoot);                       // <root>/security/anchors/brellis-test.pem
//   auto identity = ca.issueLeaf(LeafProfile::developerId());
//   signExecutable(path, "com.velkor.tarvo.daemon", "2.1", identity);   // writes <path>.sig
//
// The same from a shell (the program brellis-codesign, see brellis_codesign_main.cpp):
//   brellis-codesign make-ca <ca-dir>
//   brellis-codesign install-anchor <ca-dir> <state-root>
//   brellis-codesign sign <ca-dir> <executable> <identifier> <version> [profile] [ou]
//     profile: developer-id (default) | development | mac-app-store | testflight | plain

#include <filesystem>
#include <string>
#include <vector>

#include "platform/foundation/plist_value.h"

namespace brellis::testing::codesign {

using platform::foundation::Bytes;

inline constexpr const char* kTeamIdentifier = "K2V9T7Q4MX";
inline constexpr const char* kOtherTeamIdentifier = "Z9Z9Z9Z9Z9";
inline constexpr const char* kDeveloperIdCaOid = "1.2.840.113635.100.6.2.6";
inline constexpr const char* kWwdrCaOid = "1.2.840.113635.100.6.2.1";
inline constexpr const char* kDeveloperIdLeafOid = "1.2.840.113635.100.6.1.13";
inline constexpr const char* kDevelopmentLeafOid = "1.2.840.113635.100.6.1.12";
inline constexpr const char* kMacAppStoreLeafOid = "1.2.840.113635.100.6.1.9";
inline constexpr const char* kTestFlightLeafOid = "1.2.840.113635.100.6.1.25.1";

enum class Issuer { developerIdCa, wwdrCa, root };

struct LeafProfile {
  std::string commonName = "Brellis Test Signing";
  std::string organizationalUnit = kTeamIdentifier;
  std::vector<std::string> extensionOids;  // each added as a non-critical ASN.1 NULL
  Issuer issuer = Issuer::developerIdCa;

  static LeafProfile developerId();  // OU team, 6.1.13, issued by developerIdCa
  static LeafProfile development();  // OU team, 6.1.12, issued by wwdrCa
  static LeafProfile macAppStore();  // OU other team, 6.1.9, issued by wwdrCa
  static LeafProfile testFlight();   // OU other team, 6.1.25.1, issued by wwdrCa
  static LeafProfile plain();        // OU team, no Apple extensions, issued by wwdrCa
  // "developer-id", "development", "mac-app-store", "testflight", "plain"; throws otherwise.
  static LeafProfile named(const std::string& name);
};

// A leaf certificate with its chain (leaf first, then its issuer; the root is left out, it
// comes from the anchor store) and the leaf's private key in PEM.
struct SigningIdentity {
  std::vector<Bytes> chain;
  std::string privateKeyPem;
};

class TestCertificateAuthority {
 public:
  // Makes a fresh root and both intermediates.
  static TestCertificateAuthority create(const std::string& name = "Brellis Test");
  // Saves to / loads from a directory (PEM files of certificates and keys).
  void save(const std::filesystem::path& directory) const;
  static TestCertificateAuthority load(const std::filesystem::path& directory);

  SigningIdentity issueLeaf(const LeafProfile& profile) const;

  const Bytes& rootDer() const { return root_.certificateDer; }
  // Writes the root to <stateRoot>/security/anchors/<fileName> as PEM.
  void installAnchor(const std::filesystem::path& stateRoot,
                     const std::string& fileName = "brellis-test.pem") const;

 private:
  struct Entity {
    Bytes certificateDer;
    std::string privateKeyPem;
  };
  const Entity& issuerOf(Issuer issuer) const;

  Entity root_;
  Entity developerIdCa_;
  Entity wwdrCa_;
};

// Writes <executable>.sig for the file's current bytes, with the identifier and the info
// dictionary {CFBundleShortVersionString: version}.
void signExecutable(const std::filesystem::path& executable, const std::string& identifier,
                    const std::string& version, const SigningIdentity& identity);

}  // namespace brellis::testing::codesign
