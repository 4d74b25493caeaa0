#include "daemon_client/account_elevation_errors.h"

namespace brellis::daemon_client {

namespace {
constexpr const char* kTimeTamperingDetected = "Time Tampering Detected";
constexpr const char* kOutOfElevations = "Out of elevations for this month";
constexpr const char* kNoActiveSessionPrefix = "No active elevation session for user: ";
constexpr const char* kBridgedDomain = "TarvoDaemonXPC.AccountElevationErrors";
}  // namespace

std::map<AccountElevationErrors::Case, AccountElevationErrors::ErrorPair>
AccountElevationErrors::errorsDictionary() {
  return {{Case::timeTamperingDetected, ErrorPair{kTimeTamperingDetected, 1}},
          {Case::outOfElevations, ErrorPair{kOutOfElevations, 2}}};
}

platform::foundation::ErrorRecord AccountElevationErrors::nsError() const {
  platform::foundation::ErrorRecord record;
  auto table = errorsDictionary();
  auto entry = table.find(case_);
  if (case_ == Case::noActiveSession) {
    record.domain = kNoActiveSessionPrefix + username_;
  } else if (entry != table.end()) {
    record.domain = entry->second.message;
  }
  record.code = entry != table.end() ? entry->second.code : 0;
  return record;
}

std::optional<AccountElevationErrors> AccountElevationErrors::from(
    const platform::foundation::ErrorRecord& error) {
  for (const auto& [kind, pair] : errorsDictionary()) {
    if (pair.code == error.code &&
        platform::foundation::canonicallyEquivalent(pair.message, error.domain)) {
      return AccountElevationErrors(kind, {});
    }
  }
  return std::nullopt;
}

bool AccountElevationErrors::operator==(const AccountElevationErrors& other) const {
  return case_ == other.case_ &&
         platform::foundation::canonicallyEquivalent(username_, other.username_);
}

platform::foundation::ErrorRecord AccountElevationErrors::toRecord() const {
  return platform::foundation::ErrorRecord{kBridgedDomain, static_cast<int64_t>(case_), {}};
}

std::string AccountElevationErrors::description() const {
  switch (case_) {
    case Case::timeTamperingDetected:
      return "timeTamperingDetected";
    case Case::outOfElevations:
      return "outOfElevations";
    case Case::noActiveSession:
      return "noActiveSession(username: \"" + username_ + "\")";
  }
  return {};
}

}  // namespace brellis::daemon_client
