#include <gtest/gtest.h>

#include <string>

#include "connectivity_protocol/beacon_request.h"
#include "connectivity_protocol/certificates_request.h"
#include "connectivity_protocol/certificates_response.h"
#include "connectivity_protocol/tests/plist_oracle.h"
#include "platform/foundation/decoding_error.h"

namespace brellis::connectivity_protocol {
namespace {

namespace fnd = platform::foundation;
using fnd::DecodingError;
using testing::plistlibDump;
using testing::plistlibWrite;

constexpr const char* kTagText = "0AD863BA-7584-40CF-8896-BD87B3280C34";
fnd::Uuid tag() { return *fnd::Uuid::parse(kTagText); }

CertificatesResponse decodeResponse(const std::string& entries) {
  return CertificatesResponse::decode(plistlibWrite(
      R"({"dict":{"tag":{"str":"0AD863BA-7584-40CF-8896-BD87B3280C34"},)" + entries + "}}"));
}

std::string success(const std::string& certificates) {
  return R"("result":{"str":"success"},"success":{"dict":{)" + certificates + "}}";
}

bool decodeFails(const std::string& entries, DecodingError::Kind kind) {
  try {
    decodeResponse(entries);
  } catch (const DecodingError& error) {
    return error.kind() == kind;
  }
  return false;
}

TEST(RequestRecordsWire, BeaconAndCertificatesRequests) {
  BeaconRequest beacon(tag());
  EXPECT_EQ(plistlibDump(beacon.encode()),
            R"({"dict":{"uuid":{"str":"0AD863BA-7584-40CF-8896-BD87B3280C34"}}})");
  EXPECT_EQ(BeaconRequest::decode(beacon.encode()), beacon);
  EXPECT_THROW(BeaconRequest::decode(plistlibWrite(R"({"dict":{"uuid":{"data":""}}})")),
               DecodingError);

  CertificatesRequest request(tag(), {});
  EXPECT_EQ(plistlibDump(request.encode()),
            R"({"dict":{"ephemeralKey":{"data":""},)"
            R"("tag":{"str":"0AD863BA-7584-40CF-8896-BD87B3280C34"}}})");
  EXPECT_EQ(CertificatesRequest::decode(request.encode()), request);
  EXPECT_THROW(CertificatesRequest::decode(plistlibWrite(
                   R"({"dict":{"tag":{"str":"0AD863BA-7584-40CF-8896-BD87B3280C34"}}})")),
               DecodingError);
}

TEST(CertificatesResponseWire, EncodesDecimalKeysAndTheEmptyName) {
  CertificatesResponse response(tag(), "", Certificates{{12, {1}}, {-3, {2, 3}}},
                                UnlockVersion::unlock_1_2_0);
  EXPECT_EQ(plistlibDump(response.encode()),
            R"({"dict":{"deviceName":{"str":""},"result":{"str":"success"},)"
            R"("success":{"dict":{"-3":{"data":"0203"},"12":{"data":"01"}}},)"
            R"("tag":{"str":"0AD863BA-7584-40CF-8896-BD87B3280C34"},"unlockVersion":{"int":1}}})");

  CertificatesResponse named(tag(), "Anna’s phone", Certificates{{7, {9}}},
                             UnlockVersion::undefined);
  EXPECT_EQ(CertificatesResponse::decode(named.encode()), named);
  named.setResult(tl::unexpected(ConnectivityError(ConnectivityError::Case::failedLocalAuth)));
  EXPECT_EQ(CertificatesResponse::decode(named.encode()), named);
}

TEST(CertificatesResponseWire, DeviceNameAndVersionAreLenient) {
  EXPECT_EQ(decodeResponse(success("")).deviceName(), "iOS device");
  EXPECT_EQ(decodeResponse(R"("deviceName":{"str":""},)" + success("")).deviceName(), "iOS device");
  EXPECT_EQ(decodeResponse(R"("deviceName":{"int":4},)" + success("")).deviceName(), "iOS device");
  EXPECT_EQ(decodeResponse(R"("deviceName":{"str":"Pad"},)" + success("")).deviceName(), "Pad");
  EXPECT_EQ(decodeResponse(success("") + R"(,"unlockVersion":{"int":5})").unlockVersion(),
            UnlockVersion::undefined);
  auto empty = decodeResponse(success(""));
  ASSERT_TRUE(empty.result());
  EXPECT_TRUE(empty.result()->empty());
}

TEST(CertificatesResponseWire, CertificateKeysMustNameDistinctIntegers) {
  auto seven = decodeResponse(success(R"("7":{"data":"07"},"-9223372036854775808":{"data":""})"));
  ASSERT_TRUE(seven.result());
  EXPECT_EQ(seven.result()->at(7), fnd::Bytes{7});
  EXPECT_TRUE(seven.result()->contains(INT64_MIN));

  using Kind = DecodingError::Kind;
  EXPECT_TRUE(decodeFails(success(R"("seven":{"data":""})"), Kind::dataCorrupted));
  EXPECT_TRUE(decodeFails(success(R"("7x":{"data":""})"), Kind::dataCorrupted));
  EXPECT_TRUE(decodeFails(success(R"(" 7":{"data":""})"), Kind::dataCorrupted));
  EXPECT_TRUE(decodeFails(success(R"("":{"data":""})"), Kind::dataCorrupted));
  EXPECT_TRUE(decodeFails(success(R"("9223372036854775808":{"data":""})"), Kind::dataCorrupted));
  EXPECT_TRUE(decodeFails(success(R"("7":{"data":""},"07":{"data":"01"})"), Kind::dataCorrupted));
  EXPECT_TRUE(decodeFails(success(R"("0":{"data":""},"-0":{"data":"01"})"), Kind::dataCorrupted));
  EXPECT_TRUE(decodeFails(success(R"("7":{"str":"x"})"), Kind::typeMismatch));
  EXPECT_TRUE(
      decodeFails(R"("result":{"str":"success"},"success":{"array":[]})", Kind::typeMismatch));
  EXPECT_TRUE(decodeFails(R"("result":{"str":"Failure"},"failure":{"str":"Timed out"})",
                          Kind::dataCorrupted));

  EXPECT_EQ(parseDecimalInt64("+7"), 7);
  EXPECT_EQ(parseDecimalInt64("9223372036854775807"), INT64_MAX);
  EXPECT_FALSE(parseDecimalInt64("-"));
  EXPECT_FALSE(parseDecimalInt64("-9223372036854775809"));
}

}  // namespace
}  // namespace brellis::connectivity_protocol
