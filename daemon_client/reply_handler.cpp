#include "daemon_client/reply_handler.h"

#include <exception>

#include "daemon_client/tarvo_daemon_connection_error.h"
#include "platform/foundation/decoding_error.h"
#include "platform/foundation/error_record.h"
#include "platform/foundation/keyed_unarchiver.h"
#include "platform/xpc/xpc_error.h"

namespace brellis::daemon_client {

namespace {

namespace fnd = platform::foundation;
namespace xpc = platform::xpc;
using platform::xpc::Value;

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

// The value-or-error shape (and value-only, which has no error slot) over the first field.
template <class T>
T valueOrError(const OperationDescriptor& row, ReplyFields& reply, const Logger& log) {
  if (auto value = reply.take<T>(0)) {
    logSuccess(row, log);
    return std::move(*value);
  }
  if (reply.error()) raiseDaemonError(row, log, *reply.error(), row.lines[0]);
  raiseNoResult(row, log, row.lines[1]);
}

}  // namespace

ReplyFields decodeReply(const OperationDescriptor& row, std::vector<Value> values) {
  try {
    return ReplyFields::decode(row, std::move(values));
  } catch (const fnd::DecodingError& error) {
    throw fnd::ErrorException(
        xpc::xpcError(xpc::kErrorConnectionReplyInvalid, error.debugDescription()));
  }
}

void handleReply(const OperationDescriptor& row, ReplyFields reply, const Logger& log,
                 ReplyTag<void>) {
  if (reply.error()) raiseDaemonError(row, log, *reply.error(), row.lines[0]);
  logSuccess(row, log);
}

Bytes handleReply(const OperationDescriptor& row, ReplyFields reply, const Logger& log,
                  ReplyTag<Bytes>) {
  return valueOrError<Bytes>(row, reply, log);
}

std::string handleReply(const OperationDescriptor& row, ReplyFields reply, const Logger& log,
                        ReplyTag<std::string>) {
  if (row.shape == ReplyShape::version) {
    auto text = reply.take<std::string>(0);
    logSuccess(row, log);
    return text.value_or(std::string());
  }
  return valueOrError<std::string>(row, reply, log);
}

Endpoint handleReply(const OperationDescriptor& row, ReplyFields reply, const Logger& log,
                     ReplyTag<Endpoint>) {
  return valueOrError<Endpoint>(row, reply, log);
}

StringListsDictionary handleReply(const OperationDescriptor& row, ReplyFields reply,
                                  const Logger& log, ReplyTag<StringListsDictionary>) {
  return valueOrError<StringListsDictionary>(row, reply, log);
}

EphemeralSecret handleReply(const OperationDescriptor& row, ReplyFields reply, const Logger& log,
                            ReplyTag<EphemeralSecret>) {
  auto sharedSecret = reply.take<Bytes>(0);
  auto publicKeyData = reply.take<Bytes>(1);
  if (sharedSecret && publicKeyData) {
    logSuccess(row, log);
    return EphemeralSecret{std::move(*sharedSecret), std::move(*publicKeyData)};
  }
  if (reply.error()) raiseDaemonError(row, log, *reply.error(), row.lines[0]);
  raiseNoResult(row, log, row.lines[1]);
}

std::optional<Number> handleReply(const OperationDescriptor&, ReplyFields reply, const Logger&,
                                  ReplyTag<std::optional<Number>>) {
  return reply.take<Number>(0);
}

TOTPPairingInformation handleReply(const OperationDescriptor& row, ReplyFields reply,
                                   const Logger& log, ReplyTag<TOTPPairingInformation>) {
  if (reply.error()) raiseDaemonError(row, log, *reply.error(), row.lines[0]);
  auto secret = reply.take<Bytes>(0);
  auto backupCode = reply.take<std::string>(1);
  if (secret && backupCode) {
    logSuccess(row, log);
    return TOTPPairingInformation{std::move(*secret), std::move(*backupCode)};
  }
  throw TarvoDaemonConnectionError::unknown();
}

DesktopPicture handleReply(const OperationDescriptor& row, ReplyFields reply, const Logger& log,
                           ReplyTag<DesktopPicture>) {
  if (auto appearance = reply.take<Number>(0)) {
    logSuccess(row, log);
    return DesktopPicture{std::move(*appearance), reply.take<FileHandle>(1), reply.take<Url>(2)};
  }
  if (reply.error()) raiseDaemonError(row, log, *reply.error(), row.lines[0]);
  raiseNoResult(row, log, row.lines[1]);
}

DesktopAsset handleReply(const OperationDescriptor& row, ReplyFields reply, const Logger& log,
                         ReplyTag<DesktopAsset>) {
  auto provider = reply.take<std::string>(0);
  auto configurationData = reply.take<Bytes>(1);
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
      return DesktopAsset{std::move(*provider), std::move(configuration), reply.take<FileHandle>(2),
                          reply.take<Url>(3)};
    } catch (...) {
      log.error(kConfigurationError, row.signature, row.lines[kDecodingLine],
                fnd::errorText(std::current_exception()));
      throw;
    }
  }
  if (reply.error()) raiseDaemonError(row, log, *reply.error(), row.lines[kDaemonErrorLine]);
  log.error(kMissingProvider, row.signature, row.lines[kMissingLine]);
  throw TarvoDaemonConnectionError::unknown();
}

std::vector<Bytes> handleReply(const OperationDescriptor& row, ReplyFields reply, const Logger& log,
                               ReplyTag<std::vector<Bytes>>) {
  if (reply.error()) raiseDaemonError(row, log, *reply.error(), row.lines[0]);
  logSuccess(row, log);
  return reply.take<std::vector<Bytes>>(0).value_or(std::vector<Bytes>());
}

}  // namespace brellis::daemon_client
