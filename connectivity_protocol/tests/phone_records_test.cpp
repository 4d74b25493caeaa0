#include <gtest/gtest.h>

#include <string>

#include "connectivity_protocol/authentication_request.h"
#include "connectivity_protocol/authentication_response.h"
#include "connectivity_protocol/coding_keys.h"
#include "connectivity_protocol/connectivity_error.h"
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

DecodingError::Kind decodeFailureKind(const std::string& typedJson) {
  try {
    AuthenticationResponse::decode(plistlibWrite(typedJson));
  } catch (const DecodingError& error) {
    return error.kind();
  }
  ADD_FAILURE() << "decoded: " << typedJson;
  return DecodingError::Kind::dataCorrupted;
}

std::string response(const std::string& entries) {
  return R"({"dict":{"tag":{"str":"0AD863BA-7584-40CF-8896-BD87B3280C34"},)" + entries + "}}";
}

TEST(AuthenticationRequestWire, MinimalRequestHasExactlyFiveKeysWithEmptyEphemeralKey) {
  AuthenticationRequest request(tag(), AuthenticationUsage::sign, {1, 2, 3}, 0x5FC100, std::nullopt,
                                {}, std::nullopt);
  fnd::Bytes bytes = request.encode();
  ASSERT_GE(bytes.size(), 8u);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 8), "bplist00");
  EXPECT_EQ(plistlibDump(bytes),
            R"({"dict":{"certID":{"int":6275328},"data":{"data":"010203"},)"
            R"("ephemeralKey":{"data":""},"tag":{"str":"0AD863BA-7584-40CF-8896-BD87B3280C34"},)"
            R"("usage":{"str":"sign"}}})");
  EXPECT_EQ(AuthenticationRequest::decode(bytes), request);
}

TEST(AuthenticationRequestWire, FullRequestCarriesPinParamsAndLargeData) {
  fnd::Bytes large(300);
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<uint8_t>(i * 7);
  AuthenticationRequest request(tag(), AuthenticationUsage::keyExchange, large, -5,
                                std::string("p\xC3\xAFn\xE2\x82\xAC"), {0xAA},
                                KeyExchangeParams({4, 5}, 32, fnd::Bytes{}));
  fnd::Bytes bytes = request.encode();
  std::string hex;
  for (uint8_t b : large) {
    static const char* digits = "0123456789abcdef";
    hex += digits[b >> 4];
    hex += digits[b & 15];
  }
  EXPECT_EQ(plistlibDump(bytes),
            R"({"dict":{"certID":{"int":-5},"data":{"data":")" + hex +
                R"("},"ephemeralKey":{"data":"aa"},"keyExchangeParams":{"dict":{)"
                R"("otherPublicCert":{"data":"0405"},"requestedSize":{"int":32},)"
                R"("sharedInfo":{"data":""}}},"pin":{"str":"pïn€"},)"
                R"("tag":{"str":"0AD863BA-7584-40CF-8896-BD87B3280C34"},)"
                R"("usage":{"str":"keyExchange"}}})");
  EXPECT_EQ(AuthenticationRequest::decode(bytes), request);

  KeyExchangeParams withoutInfo({4}, 16, std::nullopt);
  EXPECT_EQ(withoutInfo.toPropertyList().dict()->size(), 2u);
}

TEST(AuthenticationRequestWire, DecodesWhatPlistlibWritesAndRefusesViolations) {
  auto request = [](const std::string& entries) {
    return AuthenticationRequest::decode(plistlibWrite(
        R"({"dict":{"tag":{"str":"0ad863ba-7584-40cf-8896-bd87b3280c34"},)" + entries + "}}"));
  };
  AuthenticationRequest decoded =
      request(R"("usage":{"str":"decrypt"},"data":{"data":"ff"},"certID":{"int":9},)"
              R"("ephemeralKey":{"data":""},"pin":{"str":"1234"},"extra":{"int":1})");
  EXPECT_EQ(decoded.tag(), tag());
  EXPECT_EQ(decoded.usage(), AuthenticationUsage::decrypt);
  EXPECT_EQ(decoded.pin(), "1234");
  EXPECT_FALSE(decoded.keyExchangeParams());

  auto kindOf = [&](const std::string& entries) {
    try {
      request(entries);
    } catch (const DecodingError& error) {
      return error.kind();
    }
    ADD_FAILURE() << entries;
    return DecodingError::Kind::dataCorrupted;
  };
  // No ephemeral key.
  EXPECT_EQ(kindOf(R"("usage":{"str":"sign"},"data":{"data":""},"certID":{"int":1})"),
            DecodingError::Kind::keyNotFound);
  // An integer written as a string.
  EXPECT_EQ(kindOf(R"("usage":{"str":"sign"},"data":{"data":""},"certID":{"str":"1"},)"
                   R"("ephemeralKey":{"data":""})"),
            DecodingError::Kind::typeMismatch);
  // Usage in another letter case.
  EXPECT_EQ(kindOf(R"("usage":{"str":"Sign"},"data":{"data":""},"certID":{"int":1},)"
                   R"("ephemeralKey":{"data":""})"),
            DecodingError::Kind::dataCorrupted);
  // Nested parameters without their required size.
  EXPECT_EQ(kindOf(R"("usage":{"str":"sign"},"data":{"data":""},"certID":{"int":1},)"
                   R"("ephemeralKey":{"data":""},"keyExchangeParams":{"dict":{)"
                   R"("otherPublicCert":{"data":""}}})"),
            DecodingError::Kind::keyNotFound);
}

TEST(AuthenticationResponseWire, EncodesOnePayloadKeyAndAlwaysTheVersion) {
  AuthenticationResponse success(tag(), fnd::Bytes{0xDE, 0xAD}, UnlockVersion::undefined);
  EXPECT_EQ(plistlibDump(success.encode()),
            R"({"dict":{"result":{"str":"success"},"success":{"data":"dead"},)"
            R"("tag":{"str":"0AD863BA-7584-40CF-8896-BD87B3280C34"},"unlockVersion":{"int":0}}})");
  AuthenticationResponse failure(
      tag(), tl::unexpected(ConnectivityError(ConnectivityError::Case::incorrectPIN)),
      UnlockVersion::unlock_1_2_0);
  EXPECT_EQ(plistlibDump(failure.encode()),
            R"({"dict":{"failure":{"str":"Incorrect PIN"},"result":{"str":"failure"},)"
            R"("tag":{"str":"0AD863BA-7584-40CF-8896-BD87B3280C34"},"unlockVersion":{"int":1}}})");
  EXPECT_EQ(AuthenticationResponse::decode(success.encode()), success);
  EXPECT_EQ(AuthenticationResponse::decode(failure.encode()), failure);
}

TEST(AuthenticationResponseWire, UnlockVersionIsReadLeniently) {
  auto versionOf = [](const std::string& versionEntry) {
    return AuthenticationResponse::decode(
               plistlibWrite(response(R"("result":{"str":"success"},"success":{"data":"01"})" +
                                      versionEntry)))
        .unlockVersion();
  };
  EXPECT_EQ(versionOf(R"(,"unlockVersion":{"int":1})"), UnlockVersion::unlock_1_2_0);
  EXPECT_EQ(versionOf(R"(,"unlockVersion":{"int":0})"), UnlockVersion::undefined);
  EXPECT_EQ(versionOf(R"(,"unlockVersion":{"int":2})"), UnlockVersion::undefined);
  EXPECT_EQ(versionOf(R"(,"unlockVersion":{"int":-1})"), UnlockVersion::undefined);
  EXPECT_EQ(versionOf(R"(,"unlockVersion":{"str":"1"})"), UnlockVersion::undefined);
  EXPECT_EQ(versionOf(R"(,"unlockVersion":{"real":1.0})"), UnlockVersion::undefined);
  EXPECT_EQ(versionOf(""), UnlockVersion::undefined);
  EXPECT_FALSE(unlockVersion(2));
  EXPECT_EQ(unlockVersion(1), UnlockVersion::unlock_1_2_0);
}

TEST(AuthenticationResponseWire, ResultAndPayloadAreExact) {
  EXPECT_EQ(decodeFailureKind(response(R"("result":{"str":"Success"},"success":{"data":""})")),
            DecodingError::Kind::dataCorrupted);
  EXPECT_EQ(decodeFailureKind(response(R"("success":{"data":""})")),
            DecodingError::Kind::keyNotFound);
  EXPECT_EQ(decodeFailureKind(response(R"("result":{"str":"success"})")),
            DecodingError::Kind::keyNotFound);
  EXPECT_EQ(decodeFailureKind(response(R"("result":{"str":"success"},"success":{"str":"x"})")),
            DecodingError::Kind::typeMismatch);
  EXPECT_EQ(
      decodeFailureKind(response(R"("result":{"str":"failure"},"failure":{"str":"timed out"})")),
      DecodingError::Kind::dataCorrupted);
  EXPECT_EQ(
      decodeFailureKind(
          R"({"dict":{"tag":{"str":"not-a-uuid"},"result":{"str":"success"},"success":{"data":""}}})"),
      DecodingError::Kind::dataCorrupted);
  EXPECT_EQ(decodeFailureKind(R"({"array":[]})"), DecodingError::Kind::typeMismatch);

  auto timedOut = AuthenticationResponse::decode(plistlibWrite(response(
      R"("result":{"str":"failure"},"failure":{"str":"Timed out"},"success":{"data":"01"})")));
  ASSERT_FALSE(timedOut.result());
  EXPECT_EQ(timedOut.result().error().value(), ConnectivityError::Case::timedOut);

  // The other payload key is never looked at, whatever it holds.
  auto both = AuthenticationResponse::decode(plistlibWrite(
      response(R"("result":{"str":"success"},"success":{"data":""},"failure":{"int":3})")));
  ASSERT_TRUE(both.result());
  EXPECT_TRUE(both.result()->empty());
}

TEST(AuthenticationResponseWire, BytesThatAreNoPropertyListFailCleanly) {
  for (const fnd::Bytes& bytes : {fnd::Bytes{}, fnd::Bytes{'b', 'p', 'l', 'i', 's', 't', '0', '0'},
                                  fnd::Bytes{'<', '?', 'x'}, fnd::Bytes(64, 0xFF)}) {
    try {
      AuthenticationResponse::decode(bytes);
      ADD_FAILURE() << "decoded " << bytes.size() << " bytes";
    } catch (const DecodingError& error) {
      EXPECT_EQ(error.kind(), DecodingError::Kind::dataCorrupted);
      EXPECT_EQ(error.toRecord().code, 4864);
    }
  }
}

TEST(ConnectivityErrorTest, RawValuesInOrderAndBridging) {
  const char* expected[] = {"Failed to decode", "Failed to encode",  "Invalid certificate",
                            "Failed to sign",   "Failed to decrypt", "Failed to send",
                            "Unknown tag",      "Incorrect PIN",     "Failed local auth",
                            "Result is nil",    "Timed out"};
  for (size_t i = 0; i < ConnectivityError::kCaseCount; ++i) {
    ConnectivityError error(static_cast<ConnectivityError::Case>(i));
    EXPECT_STREQ(error.rawValue(), expected[i]);
    EXPECT_STREQ(error.what(), expected[i]);
    EXPECT_EQ(ConnectivityError::fromRawValue(expected[i]), error);
    EXPECT_EQ(error.toRecord().code, static_cast<int64_t>(i));
    EXPECT_EQ(error.toRecord().domain, "UnlockConnectivityProtocol.ConnectivityError");
  }
  EXPECT_FALSE(ConnectivityError::fromRawValue("Incorrect pin"));
  EXPECT_EQ(ConnectivityError(ConnectivityError::Case::nilResult).description(), "nilResult");
  EXPECT_FALSE(codingKey("Tag"));
  EXPECT_EQ(codingKey("unlockVersion"), CodingKeys::unlockVersion);
  EXPECT_STREQ(stringValue(CodingKeys::deviceName), "deviceName");
}

}  // namespace
}  // namespace brellis::connectivity_protocol
