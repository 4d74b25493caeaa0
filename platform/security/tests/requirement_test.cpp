#include "platform/security/requirement.h"

#include <gtest/gtest.h>

#include "platform/security/security_error.h"
#include "platform/security/version_compare.h"
#include "testing/codesign/test_certificate_authority.h"

namespace brellis::platform::security {
namespace {

namespace cs = brellis::testing::codesign;

OSStatus compileStatus(std::string_view text) {
  try {
    Requirement::compile(text);
    return errSecSuccess;
  } catch (const SecurityError& error) {
    EXPECT_NE(std::string(error.what()).find("offset"), std::string::npos) << error.what();
    return error.status();
  }
}

SigningInformation signedAs(const std::string& identifier, const std::string& version) {
  SigningInformation info;
  info.identifier = identifier;
  info.info.set("CFBundleShortVersionString", version);
  info.anchored = true;
  return info;
}

TEST(RequirementCompileTest, RefusesMalformedTextsWithInvalidRequirementStatus) {
  for (const char* text : {"",
                           "identifier",
                           "identifier \"a",
                           "(identifier a",
                           "identifier a)",
                           "identifier a and",
                           "or identifier a",
                           "info [x] >=",
                           "info x = \"1\"",
                           "anchor",
                           "anchor google",
                           "certificate leaf[subject.XX] = a",
                           "certificate 1[field.1.x] exists",
                           "certificate 1[field.1]",
                           "certificate leaf[field.1.2] = \"a\"",
                           "certificate middle[subject.CN]",
                           "certificate 999[subject.CN]",
                           "identifier a /* unterminated",
                           "identifier a $",
                           "identifier < a",
                           "!",
                           "()",
                           "identifier a identifier b"}) {
    EXPECT_EQ(compileStatus(text), errSecCSReqInvalid) << text;
  }
}

TEST(RequirementCompileTest, FailureBridgesToTheOSStatusDomainWithItsStatus) {
  try {
    Requirement::compile("identifier \"unterminated");
    FAIL() << "compiled";
  } catch (...) {
    auto record = foundation::currentExceptionRecord();
    EXPECT_EQ(record.domain, "NSOSStatusErrorDomain");
    EXPECT_EQ(record.code, errSecCSReqInvalid);
    EXPECT_EQ(record.localizedDescription(),
              "The operation couldn’t be completed. (NSOSStatusErrorDomain error -67052.)");
  }
}

TEST(RequirementCompileTest, SkipsCommentsThatHoldQuotesAndKeepsText) {
  const std::string text =
      "// a \"quoted\" comment ( with ) brackets\n"
      "identifier \"com.a\" /* and or ! \" */ and info [V] >= \"1\"  // trailing";
  Requirement requirement = Requirement::compile(text);
  EXPECT_EQ(requirement.text(), text);
  EXPECT_TRUE(requirement.isSatisfiedBy([] {
    SigningInformation info;
    info.identifier = "com.a";
    info.info.set("V", "2");
    return info;
  }()));
}

TEST(RequirementCompileTest, NestingIsBounded) {
  std::string deep(100000, '(');
  EXPECT_EQ(compileStatus(deep + "identifier a" + std::string(100000, ')')), errSecCSReqInvalid);
  std::string bangs(100000, '!');
  EXPECT_EQ(compileStatus(bangs + "identifier a"), errSecCSReqInvalid);
  EXPECT_EQ(compileStatus(std::string(20, '(') + "identifier a" + std::string(20, ')')),
            errSecSuccess);
}

TEST(RequirementEvaluateTest, OperatorsAndPrecedence) {
  SigningInformation info = signedAs("com.a", "1.0");
  auto holds = [&info](const char* text) { return Requirement::compile(text).isSatisfiedBy(info); };
  EXPECT_TRUE(holds("identifier com.a"));
  EXPECT_TRUE(holds("identifier = \"com.a\""));
  EXPECT_FALSE(holds("identifier \"com.a.b\""));
  EXPECT_FALSE(holds("identifier \"com\""));
  // `and` binds tighter than `or`; `!` tighter than both.
  EXPECT_TRUE(holds("identifier x and identifier y or identifier com.a"));
  EXPECT_FALSE(holds("identifier x and (identifier y or identifier com.a)"));
  EXPECT_TRUE(holds("!identifier x and identifier com.a"));
  EXPECT_FALSE(holds("!(identifier x or identifier com.a)"));
  EXPECT_TRUE(holds("info [CFBundleShortVersionString] exists"));
  EXPECT_FALSE(holds("info [Missing] exists"));
  EXPECT_FALSE(holds("info [Missing] >= \"0\""));
  EXPECT_TRUE(holds("anchor apple generic and anchor apple"));
  info.anchored = false;
  EXPECT_FALSE(holds("anchor apple generic"));
  info.info.set("Number", int64_t{5});
  EXPECT_FALSE(holds("info [Number] = \"5\""));  // only strings compare
}

TEST(RequirementEvaluateTest, VersionsCompareNumericallyPerComponent) {
  EXPECT_GT(compareVersions("10.0.0", "9.1"), 0);
  EXPECT_LT(compareVersions("1.9", "1.10"), 0);
  EXPECT_EQ(compareVersions("1.02", "1.2"), 0);
  EXPECT_EQ(compareVersions("2", "2.0.0"), 0);
  EXPECT_GT(compareVersions("2.0.1", "2"), 0);
  EXPECT_GT(compareVersions("99999999999999999999999.1", "99999999999999999999998.9"), 0);
  EXPECT_LT(compareVersions("1.0b", "1.0c"), 0);

  auto atLeast = [](const char* actual, const char* minimum) {
    return Requirement::compile(std::string("info [CFBundleShortVersionString] >= \"") + minimum +
                                "\"")
        .isSatisfiedBy(signedAs("x", actual));
  };
  EXPECT_TRUE(atLeast("10.0.0", "9.1"));
  EXPECT_TRUE(atLeast("2.1", "2.1"));
  EXPECT_FALSE(atLeast("2.0.9", "2.1"));
  EXPECT_FALSE(atLeast("1.10", "1.11"));
  EXPECT_TRUE(atLeast("", ""));
  auto holds = [](const char* text) {
    return Requirement::compile(text).isSatisfiedBy(signedAs("x", "3.0"));
  };
  EXPECT_TRUE(holds("info [CFBundleShortVersionString] < \"10\""));
  EXPECT_TRUE(holds("info [CFBundleShortVersionString] <= \"3\""));
  EXPECT_FALSE(holds("info [CFBundleShortVersionString] > \"3.0.0\""));
  EXPECT_FALSE(holds("info [CFBundleShortVersionString] = \"3\""));  // equality is textual
}

TEST(RequirementEvaluateTest, CertificateSlotsFieldsAndExtensions) {
  cs::TestCertificateAuthority authority = cs::TestCertificateAuthority::create();
  cs::SigningIdentity identity = authority.issueLeaf(cs::LeafProfile::developerId());
  SigningInformation info = signedAs("x", "1");
  info.certificates = identity.chain;
  info.certificates.push_back(authority.rootDer());
  auto holds = [&info](const std::string& text) {
    return Requirement::compile(text).isSatisfiedBy(info);
  };
  EXPECT_TRUE(holds("certificate leaf[subject.OU] = \"K2V9T7Q4MX\""));
  EXPECT_FALSE(holds("certificate leaf[subject.OU] = \"K2V9T7Q4M\""));
  EXPECT_FALSE(holds("certificate 1[subject.OU] = \"K2V9T7Q4MX\""));
  EXPECT_TRUE(holds("certificate leaf[subject.OU] exists"));
  EXPECT_TRUE(holds("cert leaf[subject.CN] = \"Developer ID Application: Velkor\""));
  EXPECT_TRUE(holds("certificate root[subject.CN] = \"Brellis Test Root CA\""));
  EXPECT_TRUE(holds("certificate 2[subject.CN] = \"Brellis Test Root CA\""));
  EXPECT_FALSE(holds("certificate 3[subject.CN] exists"));
  EXPECT_TRUE(holds("certificate 1[field.1.2.840.113635.100.6.2.6] /* exists */"));
  EXPECT_TRUE(holds("certificate leaf[field.1.2.840.113635.100.6.1.13] exists"));
  EXPECT_FALSE(holds("certificate leaf[field.1.2.840.113635.100.6.1.12]"));
  EXPECT_FALSE(holds("certificate 1[field.1.2.840.113635.100.6.2.1]"));
  // A prefix of an OID is another OID.
  EXPECT_FALSE(holds("certificate leaf[field.1.2.840.113635.100.6.1.1]"));

  info.certificates = {foundation::Bytes{0x30, 0x03, 0x02, 0x01, 0x01}};
  EXPECT_FALSE(holds("certificate leaf[subject.OU] exists"));
  info.certificates.clear();
  EXPECT_FALSE(holds("certificate root[subject.OU] exists"));
}

}  // namespace
}  // namespace brellis::platform::security
