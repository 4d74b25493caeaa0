#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace brellis::daemon_client {

// The kinds of values that cross the daemon's interface, in the form they take on the wire.
enum class WireKind {
  string,           // NSString
  optionalString,   // NSString or nil (an argument that may be absent)
  bytes,            // NSData
  endpoint,         // NSXPCListenerEndpoint
  number,           // NSNumber
  fileHandle,       // NSFileHandle
  url,              // NSURL
  date,             // NSDate
  float64,          // a plain 64-bit float argument (not an object)
  bytesList,        // NSArray of NSData
  stringList,       // NSArray of NSString
  stringListsDict,  // NSDictionary of NSString to NSArray of NSString
  error,            // NSError
};

// How the client turns a reply into a result; the last five are operations' own handlers.
enum class ReplyShape {
  valueOrError,      // value wins even with an error; else the error; else `unknown`
  twoValuesOrError,  // both values; else the error; else `unknown`
  errorOnly,         // the error if any, else success
  empty,             // always success (fails only through the XPC layer)
  valueOnly,         // the value, else `unknown`
  passThrough,       // the value as it came, absent included; no log
  totpPairing,       // error first; then both values; else `unknown` without a log
  desktopPicture,    // value-or-error on the number; file handle and URL ride along
  desktopAsset,      // provider and configuration archive, decoded to WallpaperConfiguration
  version,           // the string, "" when absent; never fails
  identities,        // error first; else the list, [] when absent
};

// Set A names the operation with default privacy ("%s"), set B as public ("%{public}s").
enum class LogSet { a, b };

// The 45 operations of TarvoDaemonInterface, in interface order.
enum class Operation : size_t {
  publicKeyData,
  setExternalPublicKey,
  sharedSecret,
  makeEphemeralSecret,
  setLoginPairingIdentifier,
  loginPairingIdentifier,
  setExternalPairingIdentifier,
  externalPairingIdentifier,
  setExternalPairingSaltData,
  externalPairingSaltData,
  setMode,
  mode,
  setEncryptedPasswordData,
  encryptedPasswordData,
  setEmphemeralPublicKeyData,
  emphemeralPublicKeyData,
  unpair,
  smartCardPair,
  smartCardUnpair,
  unlockDataForAccount,
  setUnlockDataForAccount,
  unlockStatusForAccount,
  setUnlockStatusForAccount,
  unlockData,
  unlockStatus,
  setUnlockStatus,
  registerBrellisListenerEndpoint,
  brellisListenerEndpoint,
  TOTPPairingInfo,
  setTOTPPairingInfo,
  deleteTOTPPairingInfo,
  incrementUnsentOfflineMFAEvents,
  grantAdminPrivilegesToUserForTime,
  revokeAdminPrivileges,
  userElevationTimeRemaining,
  monthlyUserElevationCount,
  desktopPicture,
  desktopAsset,
  version,
  data,
  setData,
  identities,
  logEntries,
  getDeliverablesInformation,
  getUserElevationReasonsLog,
};

inline constexpr size_t kOperationCount = 45;

// Up to five kinds, in selector (or reply block) order.
struct WireKinds {
  std::array<WireKind, 5> kinds{};
  size_t count = 0;

  constexpr WireKinds() = default;
  constexpr WireKinds(std::initializer_list<WireKind> list) {
    for (WireKind kind : list) kinds[count++] = kind;
  }
  constexpr std::span<const WireKind> span() const { return {kinds.data(), count}; }
  constexpr WireKind operator[](size_t i) const { return kinds[i]; }
};

// One row of the interface: everything the client, the test daemon and the logs derive from.
// `lines` are the fixed numbers of the error-level log lines: for a shape of the connection the
// daemon-error number then the no-result number; for an own handler in the order its branches
// are listed (desktop asset: missing, daemon error, nil value, decoding error).
struct OperationDescriptor {
  Operation operation;
  std::string_view selector;
  std::string_view signature;  // the operation name of the logs
  WireKinds arguments;         // the selector's arguments before the reply block
  WireKinds reply;             // the reply block's parameters
  ReplyShape shape;
  LogSet logSet;
  std::array<int64_t, 4> lines;
};

// The table, indexed by Operation.
std::span<const OperationDescriptor, kOperationCount> operations();
const OperationDescriptor& descriptor(Operation operation);
const OperationDescriptor* findSelector(std::string_view selector);

// The interface's protocol name.
inline constexpr std::string_view kTarvoDaemonInterfaceName = "TarvoDaemonInterface";
// The daemon's Mach service name, for callers; the connection's set-up spells its own.
inline constexpr std::string_view tarvoDaemonMachServiceName = "com.velkor.tarvo.daemon";

}  // namespace brellis::daemon_client
