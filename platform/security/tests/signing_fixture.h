#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>

#include "testing/codesign/test_certificate_authority.h"
#include "testing/support/temporary_state_root.h"

namespace brellis::platform::security {

// A fresh state root (BRELLIS_ROOT) with the test CA installed as its anchor, and a scratch
// directory for programs to sign.
class SigningFixture : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    authority_ = new testing::codesign::TestCertificateAuthority(
        testing::codesign::TestCertificateAuthority::create());
  }
  static void TearDownTestSuite() {
    delete authority_;
    authority_ = nullptr;
  }

  void SetUp() override {
    stateRoot_.emplace();
    root_ = stateRoot_->path();
    authority_->installAnchor(root_);
  }
  void TearDown() override { stateRoot_.reset(); }

  // Copies `source` into the scratch directory as `name` and signs it (unless `identity` is
  // null).
  std::filesystem::path signedCopy(const std::filesystem::path& source, const std::string& name,
                                   const std::string& identifier, const std::string& version,
                                   const testing::codesign::LeafProfile& profile) {
    std::filesystem::path target = root_ / name;
    std::filesystem::copy_file(source, target);
    testing::codesign::signExecutable(target, identifier, version, authority_->issueLeaf(profile));
    return target;
  }

  static testing::codesign::TestCertificateAuthority* authority_;
  std::optional<brellis::testing::TemporaryStateRoot> stateRoot_;
  std::filesystem::path root_;
};

inline testing::codesign::TestCertificateAuthority* SigningFixture::authority_ = nullptr;

}  // namespace brellis::platform::security
