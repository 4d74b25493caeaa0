// brellis-codesign: makes a test certificate authority and signs programs with it.
//   brellis-codesign make-ca <ca-dir>
//   brellis-codesign install-anchor <ca-dir> <state-root>
//   brellis-codesign sign <ca-dir> <executable> <identifier> <version> [profile] [ou]
// Exit status 0 on success, 2 on a usage error, 1 on any other failure.

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "testing/codesign/test_certificate_authority.h"

namespace {

constexpr const char* kUsage =
    "usage: brellis-codesign make-ca <ca-dir>\n"
    "       brellis-codesign install-anchor <ca-dir> <state-root>\n"
    "       brellis-codesign sign <ca-dir> <executable> <identifier> <version> [profile] [ou]\n"
    "profiles: developer-id (default), development, mac-app-store, testflight, plain\n";

int usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace brellis::testing::codesign;
  std::vector<std::string> args(argv + 1, argv + argc);
  try {
    if (args.size() == 2 && args[0] == "make-ca") {
      TestCertificateAuthority::create().save(args[1]);
    } else if (args.size() == 3 && args[0] == "install-anchor") {
      TestCertificateAuthority::load(args[1]).installAnchor(args[2]);
    } else if (args.size() >= 5 && args.size() <= 7 && args[0] == "sign") {
      LeafProfile profile = LeafProfile::named(args.size() >= 6 ? args[5] : "developer-id");
      if (args.size() == 7) profile.organizationalUnit = args[6];
      SigningIdentity identity = TestCertificateAuthority::load(args[1]).issueLeaf(profile);
      signExecutable(args[2], args[3], args[4], identity);
    } else {
      return usage();
    }
  } catch (const std::invalid_argument& error) {
    std::fprintf(stderr, "brellis-codesign: %s\n", error.what());
    return usage();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "brellis-codesign: %s\n", error.what());
    return 1;
  }
  return 0;
}
