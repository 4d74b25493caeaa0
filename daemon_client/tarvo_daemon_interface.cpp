#include "daemon_client/tarvo_daemon_interface.h"

namespace brellis::daemon_client {

namespace {

using K = WireKind;
using S = ReplyShape;

// Selector texts and operation names are exactly the daemon's ("Emphemeral" included).
constexpr std::array<OperationDescriptor, kOperationCount> kOperations = {{
    {Operation::publicKeyData, "publicKeyDataForAccount:completion:", "publicKeyData(forAccount:)", {K::string}, {K::bytes, K::error}, S::valueOrError, LogSet::a, {64, 59, 0, 0}},
    {Operation::setExternalPublicKey, "setExternalPublicKey:forAccount:completion:", "setExternalPublicKey(_:forAccount:)", {K::bytes, K::string}, {K::error}, S::errorOnly, LogSet::a, {83, 0, 0, 0}},
    {Operation::sharedSecret, "sharedSecretForAccount:completion:", "sharedSecret(forAccount:)", {K::string}, {K::bytes, K::error}, S::valueOrError, LogSet::a, {108, 103, 0, 0}},
    {Operation::makeEphemeralSecret, "makeEphemeralSecretForAccount:completion:", "makeEphemeralSecret(forAccount:)", {K::string}, {K::bytes, K::bytes, K::error}, S::twoValuesOrError, LogSet::a, {130, 125, 0, 0}},
    {Operation::setLoginPairingIdentifier, "setLoginPairingIdentifier:forAccount:completion:", "setLoginPairingIdentifier(_:forAccount:)", {K::string, K::string}, {K::error}, S::errorOnly, LogSet::a, {149, 0, 0, 0}},
    {Operation::loginPairingIdentifier, "loginPairingIdentifierForAccount:completion:", "loginPairingIdentifier(forAccount:)", {K::string}, {K::string, K::error}, S::valueOrError, LogSet::a, {174, 169, 0, 0}},
    {Operation::setExternalPairingIdentifier, "setExternalPairingIdentifier:forAccount:completion:", "setExternalPairingIdentifier(_:forAccount:)", {K::string, K::string}, {K::error}, S::errorOnly, LogSet::a, {193, 0, 0, 0}},
    {Operation::externalPairingIdentifier, "externalPairingIdentifierForAccount:completion:", "externalPairingIdentifier(forAccount:)", {K::string}, {K::string, K::error}, S::valueOrError, LogSet::a, {218, 213, 0, 0}},
    {Operation::setExternalPairingSaltData, "setExternalPairingSaltData:forAccount:completion:", "setExternalPairingSaltData(_:forAccount:)", {K::bytes, K::string}, {K::error}, S::errorOnly, LogSet::a, {237, 0, 0, 0}},
    {Operation::externalPairingSaltData, "externalPairingSaltDataForAccount:completion:", "externalPairingSaltData(forAccount:)", {K::string}, {K::bytes, K::error}, S::valueOrError, LogSet::a, {262, 257, 0, 0}},
    {Operation::setMode, "setMode:forAccount:completion:", "setMode(_:forAccount:)", {K::string, K::string}, {K::error}, S::errorOnly, LogSet::a, {281, 0, 0, 0}},
    {Operation::mode, "modeForAccount:completion:", "mode(forAccount:)", {K::string}, {K::string, K::error}, S::valueOrError, LogSet::a, {306, 301, 0, 0}},
    {Operation::setEncryptedPasswordData, "setEncryptedPasswordData:forAccount:completion:", "setEncryptedPasswordData(_:forAccount:)", {K::bytes, K::string}, {K::error}, S::errorOnly, LogSet::a, {325, 0, 0, 0}},
    {Operation::encryptedPasswordData, "encryptedPasswordDataForAccount:completion:", "encryptedPasswordData(forAccount:)", {K::string}, {K::bytes, K::error}, S::valueOrError, LogSet::a, {350, 345, 0, 0}},
    {Operation::setEmphemeralPublicKeyData, "setEmphemeralPublicKeyData:forAccount:completion:", "setEmphemeralPublicKeyData(_:forAccount:)", {K::bytes, K::string}, {K::error}, S::errorOnly, LogSet::a, {369, 0, 0, 0}},
    {Operation::emphemeralPublicKeyData, "emphemeralPublicKeyDataForAccount:completion:", "emphemeralPublicKeyData(forAccount:)", {K::string}, {K::bytes, K::error}, S::valueOrError, LogSet::a, {394, 389, 0, 0}},
    {Operation::unpair, "unpairForAccount:completion:", "unpair(forAccount:)", {K::string}, {K::error}, S::errorOnly, LogSet::a, {413, 0, 0, 0}},
    {Operation::smartCardPair, "smartCardPairWithUsername:certHash:completion:", "smartCardPair(username:certHash:)", {K::string, K::string}, {K::error}, S::errorOnly, LogSet::a, {435, 0, 0, 0}},
    {Operation::smartCardUnpair, "smartCardUnpairWithUsername:certHash:completion:", "smartCardUnpair(username:certHash:)", {K::string, K::string}, {K::error}, S::errorOnly, LogSet::a, {457, 0, 0, 0}},
    {Operation::unlockDataForAccount, "unlockDataForAccount:completion:", "unlockData(forAccount:)", {K::string}, {K::bytes, K::error}, S::valueOrError, LogSet::a, {482, 477, 0, 0}},
    {Operation::setUnlockDataForAccount, "setUnlockData:forAccount:completion:", "setUnlockData(_:forAccount:)", {K::bytes, K::string}, {K::error}, S::errorOnly, LogSet::a, {501, 0, 0, 0}},
    {Operation::unlockStatusForAccount, "unlockStatusForAccount:completion:", "unlockStatus(forAccount:)", {K::string}, {K::bytes, K::error}, S::valueOrError, LogSet::a, {526, 521, 0, 0}},
    {Operation::setUnlockStatusForAccount, "setUnlockStatus:forAccount:completion:", "setUnlockStatus(_:forAccount:)", {K::bytes, K::string}, {K::error}, S::errorOnly, LogSet::a, {545, 0, 0, 0}},
    {Operation::unlockData, "unlockDataWithCompletion:", "unlockData()", {}, {K::bytes, K::error}, S::valueOrError, LogSet::a, {570, 565, 0, 0}},
    {Operation::unlockStatus, "unlockStatusWithCompletion:", "unlockStatus()", {}, {K::bytes, K::error}, S::valueOrError, LogSet::a, {592, 587, 0, 0}},
    {Operation::setUnlockStatus, "setUnlockStatus:completion:", "setUnlockStatus(_:)", {K::bytes}, {K::error}, S::errorOnly, LogSet::a, {611, 0, 0, 0}},
    {Operation::registerBrellisListenerEndpoint, "registerBrellisListenerEndpoint:completion:", "registerBrellisListenerEndpoint(_:)", {K::endpoint}, {}, S::empty, LogSet::a, {0, 0, 0, 0}},
    {Operation::brellisListenerEndpoint, "brellisListenerEndpointWithCompletion:", "brellisListenerEndpoint()", {}, {K::endpoint}, S::valueOnly, LogSet::a, {0, 653, 0, 0}},
    {Operation::TOTPPairingInfo, "TOTPPairingInfoFor:completion:", "TOTPPairingInfo(for:)", {K::string}, {K::bytes, K::string, K::error}, S::totpPairing, LogSet::b, {38, 0, 0, 0}},
    {Operation::setTOTPPairingInfo, "setTOTPPairingInfoWithSecret:backupCode:for:completion:", "setTOTPPairingInfo(secret:backupCode:for:)", {K::bytes, K::string, K::string}, {K::error}, S::errorOnly, LogSet::b, {66, 0, 0, 0}},
    {Operation::deleteTOTPPairingInfo, "deleteTOTPPairingInfoFor:completion:", "deleteTOTPPairingInfo(for:)", {K::string}, {K::error}, S::errorOnly, LogSet::b, {83, 0, 0, 0}},
    {Operation::incrementUnsentOfflineMFAEvents, "incrementUnsentOfflineMFAEventsWithUser:completion:", "incrementUnsentOfflineMFAEvents(user:)", {K::string}, {K::error}, S::errorOnly, LogSet::b, {100, 0, 0, 0}},
    {Operation::grantAdminPrivilegesToUserForTime, "grantAdminPrivilegesToUserForTimeFor:with:reason:completion:", "grantAdminPrivilegesToUserForTime(for:with:reason:)", {K::string, K::float64, K::optionalString}, {K::error}, S::errorOnly, LogSet::b, {118, 0, 0, 0}},
    {Operation::revokeAdminPrivileges, "revokeAdminPrivilegesWithUsername:completion:", "revokeAdminPrivileges(username:)", {K::string}, {K::error}, S::errorOnly, LogSet::b, {135, 0, 0, 0}},
    {Operation::userElevationTimeRemaining, "userElevationTimeRemainingFor:completion:", "userElevationTimeRemaining(for:)", {K::string}, {K::number}, S::passThrough, LogSet::b, {0, 0, 0, 0}},
    {Operation::monthlyUserElevationCount, "monthlyUserElevationCountFor:completion:", "monthlyUserElevationCount(for:)", {K::string}, {K::number}, S::passThrough, LogSet::b, {0, 0, 0, 0}},
    {Operation::desktopPicture, "desktopPictureWithDisplayUUIDString:userName:completion:", "desktopPicture(displayUUIDString:userName:)", {K::string, K::string}, {K::number, K::fileHandle, K::url, K::error}, S::desktopPicture, LogSet::b, {174, 169, 0, 0}},
    {Operation::desktopAsset, "desktopAssetWithDisplayUUIDString:userName:completion:", "desktopAsset(displayUUIDString:userName:)", {K::string, K::string}, {K::string, K::bytes, K::fileHandle, K::url, K::error}, S::desktopAsset, LogSet::b, {193, 198, 208, 215}},
    {Operation::version, "versionWithCompletion:", "version()", {}, {K::string}, S::version, LogSet::b, {0, 0, 0, 0}},
    {Operation::data, "dataForAccount:key:completion:", "data(forAccount:key:)", {K::string, K::string}, {K::bytes, K::error}, S::valueOrError, LogSet::b, {246, 241, 0, 0}},
    {Operation::setData, "setData:forAccount:key:completion:", "setData(_:forAccount:key:)", {K::bytes, K::string, K::string}, {K::error}, S::errorOnly, LogSet::b, {268, 0, 0, 0}},
    {Operation::identities, "identitiesWithIssuers:password:completion:", "identities(issuers:password:)", {K::bytesList, K::string}, {K::bytesList, K::error}, S::identities, LogSet::b, {280, 0, 0, 0}},
    {Operation::logEntries, "logEntriesFor:startDate:completion:", "logEntries(for:startDate:)", {K::stringList, K::date}, {K::stringListsDict, K::error}, S::valueOrError, LogSet::b, {304, 299, 0, 0}},
    {Operation::getDeliverablesInformation, "getDeliverablesInformationWithCompletion:", "getDeliverablesInformation()", {}, {K::string, K::error}, S::valueOrError, LogSet::b, {327, 322, 0, 0}},
    {Operation::getUserElevationReasonsLog, "getUserElevationReasonsLogWithCompletion:", "getUserElevationReasonsLog()", {}, {K::string, K::error}, S::valueOrError, LogSet::b, {350, 345, 0, 0}},
}};

constexpr bool tableIsInOrder() {
  for (size_t i = 0; i < kOperations.size(); ++i) {
    if (static_cast<size_t>(kOperations[i].operation) != i) return false;
  }
  return true;
}
static_assert(tableIsInOrder(), "operations must be listed in interface order");

}  // namespace

std::span<const OperationDescriptor, kOperationCount> operations() { return kOperations; }

const OperationDescriptor& descriptor(Operation operation) {
  return kOperations[static_cast<size_t>(operation)];
}

const OperationDescriptor* findSelector(std::string_view selector) {
  for (const auto& row : kOperations) {
    if (row.selector == selector) return &row;
  }
  return nullptr;
}

}  // namespace brellis::daemon_client
