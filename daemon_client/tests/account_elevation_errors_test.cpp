#include "daemon_client/account_elevation_errors.h"

#include <gtest/gtest.h>

#include <unordered_set>

#include "daemon_client/tarvo_daemon_connection_error.h"

namespace brellis::daemon_client {
namespace {

using E = AccountElevationErrors;
namespace fnd = platform::foundation;

TEST(AccountElevationErrorsTest, ConvertsToRecordsWithMessageAsDomain) {
  auto tampering = E::timeTamperingDetected().nsError();
  EXPECT_EQ(tampering.domain, "Time Tampering Detected");
  EXPECT_EQ(tampering.code, 1);
  EXPECT_TRUE(tampering.userInfo.empty());
  auto out = E::outOfElevations().nsError();
  EXPECT_EQ(out.domain, "Out of elevations for this month");
  EXPECT_EQ(out.code, 2);
  auto session = E::noActiveSession("alice").nsError();
  EXPECT_EQ(session.domain, "No active elevation session for user: alice");
  EXPECT_EQ(session.code, 0);
  EXPECT_EQ(E::noActiveSession("").nsError().domain, "No active elevation session for user: ");
  EXPECT_EQ(E::errorsDictionary().size(), 2u);
}

TEST(AccountElevationErrorsTest, ConvertsBackOnlyOnMatchingCodeAndExactDomain) {
  EXPECT_EQ(E::from(E::timeTamperingDetected().nsError()), E::timeTamperingDetected());
  EXPECT_EQ(E::from(E::outOfElevations().nsError()), E::outOfElevations());
  EXPECT_FALSE(E::from(E::noActiveSession("alice").nsError()).has_value());
  EXPECT_FALSE(E::from(fnd::ErrorRecord{"Time Tampering Detected", 2, {}}).has_value());
  EXPECT_FALSE(E::from(fnd::ErrorRecord{"Out of elevations for this month", 1, {}}).has_value());
  EXPECT_FALSE(E::from(fnd::ErrorRecord{"time tampering detected", 1, {}}).has_value());
  EXPECT_FALSE(E::from(fnd::ErrorRecord{"Time Tampering Detected ", 1, {}}).has_value());
  // The user info and the localized description are not looked at.
  fnd::ErrorRecord withInfo{"Out of elevations for this month", 2, {}};
  withInfo.userInfo.set(fnd::kLocalizedDescriptionKey, fnd::PlistValue("other"));
  EXPECT_EQ(E::from(withInfo), E::outOfElevations());
}

TEST(AccountElevationErrorsTest, EqualityAndHashingIncludeTheUserName) {
  EXPECT_EQ(E::noActiveSession("a"), E::noActiveSession("a"));
  EXPECT_NE(E::noActiveSession("a"), E::noActiveSession("b"));
  EXPECT_NE(E::noActiveSession(""), E::timeTamperingDetected());
  EXPECT_NE(E::timeTamperingDetected(), E::outOfElevations());
  std::unordered_set<E> set{E::noActiveSession("a"), E::noActiveSession("a"),
                            E::noActiveSession("b"), E::outOfElevations()};
  EXPECT_EQ(set.size(), 3u);
  // Canonically equivalent user names are one user.
  EXPECT_EQ(E::noActiveSession("Ren\xC3\xA9"), E::noActiveSession("Rene\xCC\x81"));
  std::unordered_set<E> names{E::noActiveSession("Ren\xC3\xA9"),
                              E::noActiveSession("Rene\xCC\x81")};
  EXPECT_EQ(names.size(), 1u);
}

TEST(TarvoDaemonConnectionErrorTest, EqualAndHashableByCase) {
  using Error = TarvoDaemonConnectionError;
  EXPECT_EQ(Error::unknown(), Error(Error::Case::unknown));
  EXPECT_NE(Error::unknown(), Error(Error::Case::couldntGetProxy));
  std::unordered_set<Error> set{Error::unknown(), Error::unknown(),
                                Error(Error::Case::couldntGetProxy)};
  EXPECT_EQ(set.size(), 2u);
  EXPECT_EQ(set.count(Error::unknown()), 1u);
}

TEST(AccountElevationErrorsTest, BridgesByDefaultWithTypeNameAndCasePosition) {
  auto record = fnd::exceptionRecord(std::make_exception_ptr(E::noActiveSession("x")));
  EXPECT_EQ(record.domain, "TarvoDaemonXPC.AccountElevationErrors");
  EXPECT_EQ(record.code, 2);
}

}  // namespace
}  // namespace brellis::daemon_client
