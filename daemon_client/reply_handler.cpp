#include "daemon_client/reply_handler.h"

#include <exception>

#include "daemon_client/tarvo_daemon_connection_error.h"
#include "daemon_client/tarvo_daemon_wire.h"
#include "platform/foundation/error_record.h"
#include "platform/foundation/keyed_archiver.h"

namespace brellis::daemon_client {

namespace {

namespace fnd = platform::foundation;

constexpr const char* kSuccessA = "%s: success";
constexpr const char* kSuccessB = "%{public}s: success";
constexpr const char* kDaemonErrorA = "%s:%ld: %{public}s";
constexpr const char* kDaemonErrorB = "%{public}s:%ld: %{public}s";
constexpr const char* kNoResultA = "%s:%ld: failed";
constexpr const char* kNoResultB = "%{public}s:%ld: failed";
constexpr const char* kConfigurationNil =
    "%{public}s:%ld: error decoding configuation, value is nil";
constexpr const char* kConfigurationError = "%{public}s:%ld: decoding configuration error: %s";
constexpr const char* kMissingProvider =
    "%{public}s:%ld: missing provider and/or configurationData";

// Line numbers of the desktop-asset reply, in the order of the row's `lines`.
enum AssetLine { kMissingLine = 0, kDaemonErrorLine = 1, kNilLine = 2, kDecodingLine = 3 };

const Value& at(const ReplyValues& reply, size_t index) {
  static const Value null;
  return index < reply.size() ? reply[index] : null;
}

void logSuccess(const OperationDescriptor& row, const Logger& log) {
  log.debug(row.logSet == LogSet::a ? kSuccessA : kSuccessB, row.signature);
}

[[noreturn]] void raiseDaemonError(const OperationDescriptor& row, const Logger& log,
                                   const fnd::ErrorRecord& error, int64_t line) {
  log.error(row.logSet == LogSet::a ? kDaemonErrorA : kDaemonErrorB, row.signature, line,
            fnd::errorText(error, error.description()));
  throw fnd::ErrorException(error);
}

[[noreturn]] void raiseNoResult(const OperationDescriptor& row, const Logger& log, int64_t line) {
  log.error(row.logSet == LogSet::a ? kNoResultA : kNoResultB, row.signature, line);
  throw TarvoDaemonConnectionError::unknown();
}

// The value-or-error shape over a converted first value; the error sits in the reply's last slot.
template <class T>
T valueOrError(const OperationDescriptor& row, const ReplyValues& reply, const Logger& log,
               std::optional<T> value) {
  if (row.shape == ReplyShape::valueOnly) {
    if (value) {
      logSuccess(row, log);
      return std::move(*value);
    }
    raiseNoResult(row, log, row.lines[1]);
  }
  auto error = errorFromWire(at(reply, row.reply.count - 1));
  if (value) {
    logSuccess(row, log);
    return std::move(*value);
  }
  if (error) raiseDaemonError(row, log, *error, row.lines[0]);
  raiseNoResult(row, log, row.lines[1]);
}

}  // namespace

void handleReply(const OperationDescriptor& row, ReplyValues reply, const Logger& log,
                 ReplyTag<void>) {
  if (row.shape == ReplyShape::errorOnly) {
    if (auto error = errorFromWire(at(reply, 0))) raiseDaemonError(row, log, *error, row.lines[0]);
  }
  logSuccess(row, log);
}

Bytes handleReply(const OperationDescriptor& row, ReplyValues reply, const Logger& log,
                  ReplyTag<Bytes>) {
  return valueOrError(row, reply, log, bytesFromWire(at(reply, 0)));
}

std::string handleReply(const OperationDescriptor& row, ReplyValues reply, const Logger& log,
                        ReplyTag<std::string>) {
  if (row.shape == ReplyShape::version) {
    auto text = stringFromWire(at(reply, 0));
    logSuccess(row, log);
    return text.value_or(std::string());
  }
  return valueOrError(row, reply, log, stringFromWire(at(reply, 0)));
}

Endpoint handleReply(const OperationDescriptor& row, ReplyValues reply, const Logger& log,
                     ReplyTag<Endpoint>) {
  return valueOrError(row, reply, log, endpointFromWire(at(reply, 0)));
}

StringListsDictionary handleReply(const OperationDescriptor& row, ReplyValues reply,
                                  const Logger& log, ReplyTag<StringListsDictionary>) {
  return valueOrError(row, reply, log, stringListsDictFromWire(at(reply, 0)));
}

EphemeralSecret handleReply(const OperationDescriptor& row, ReplyValues reply, const Logger& log,
                            ReplyTag<EphemeralSecret>) {
  auto sharedSecret = bytesFromWire(at(reply, 0));
  auto publicKeyData = bytesFromWire(at(reply, 1));
  auto error = errorFromWire(at(reply, 2));
  if (sharedSecret && publicKeyData) {
    logSuccess(row, log);
    return EphemeralSecret{std::move(*sharedSecret), std::move(*publicKeyData)};
  }
  if (error) raiseDaemonError(row, log, *error, row.lines[0]);
  raiseNoResult(row, log, row.lines[1]);
}

std::optional<Number> handleReply(const OperationDescriptor&, ReplyValues reply, const Logger&,
                                  ReplyTag<std::optional<Number>>) {
  return numberFromWire(at(reply, 0));
}

TOTPPairingInformation handleReply(const OperationDescriptor& row, ReplyValues reply,
                                   const Logger& log, ReplyTag<TOTPPairingInformation>) {
  auto secret = bytesFromWire(at(reply, 0));
  auto backupCode = stringFromWire(at(reply, 1));
  if (auto error = errorFromWire(at(reply, 2))) raiseDaemonError(row, log, *error, row.lines[0]);
  if (secret && backupCode) {
    logSuccess(row, log);
    return TOTPPairingInformation{std::move(*secret), std::move(*backupCode)};
  }
  throw TarvoDaemonConnectionError::unknown();
}

DesktopPicture handleReply(const OperationDescriptor& row, ReplyValues reply, const Logger& log,
                           ReplyTag<DesktopPicture>) {
  auto appearance = numberFromWire(at(reply, 0));
  auto fileHandle = fileHandleFromWire(at(reply, 1));
  auto url = stringFromWire(at(reply, 2));
  auto error = errorFromWire(at(reply, 3));
  if (appearance) {
    logSuccess(row, log);
    return DesktopPicture{std::move(*appearance), std::move(fileHandle), std::move(url)};
  }
  if (error) raiseDaemonError(row, log, *error, row.lines[0]);
  raiseNoResult(row, log, row.lines[1]);
}

DesktopAsset handleReply(const OperationDescriptor& row, ReplyValues reply, const Logger& log,
                         ReplyTag<DesktopAsset>) {
  auto provider = stringFromWire(at(reply, 0));
  auto configurationData = bytesFromWire(at(reply, 1));
  auto fileHandle = fileHandleFromWire(at(reply, 2));
  auto url = stringFromWire(at(reply, 3));
  auto error = errorFromWire(at(reply, 4));
  if (provider && configurationData) {
    try {
      // The archive is outside input: the unarchiver bounds size, depth and references.
      auto tree = fnd::unarchiveDecodable(*configurationData);
      if (!tree) {
        log.error(kConfigurationNil, row.signature, row.lines[kNilLine]);
        throw TarvoDaemonConnectionError::unknown();
      }
      auto configuration = WallpaperConfiguration::decode(*tree);
      logSuccess(row, log);
      return DesktopAsset{std::move(*provider), std::move(configuration), std::move(fileHandle),
                          std::move(url)};
    } catch (...) {
      log.error(kConfigurationError, row.signature, row.lines[kDecodingLine],
                fnd::errorText(std::current_exception()));
      throw;
    }
  }
  if (error) raiseDaemonError(row, log, *error, row.lines[kDaemonErrorLine]);
  log.error(kMissingProvider, row.signature, row.lines[kMissingLine]);
  throw TarvoDaemonConnectionError::unknown();
}

std::vector<Bytes> handleReply(const OperationDescriptor& row, ReplyValues reply, const Logger& log,
                               ReplyTag<std::vector<Bytes>>) {
  auto list = bytesListFromWire(at(reply, 0));
  if (auto error = errorFromWire(at(reply, 1))) raiseDaemonError(row, log, *error, row.lines[0]);
  logSuccess(row, log);
  return list.value_or(std::vector<Bytes>());
}

}  // namespace brellis::daemon_client
