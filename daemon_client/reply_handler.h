#pragma once

#include <optional>
#include <string>
#include <vector>

#include "daemon_client/daemon_values.h"
#include "daemon_client/reply_fields.h"
#include "daemon_client/tarvo_daemon_interface.h"
#include "platform/os_log/logger.h"
#include "platform/xpc/value.h"

namespace brellis::daemon_client {

// The reply handlers: each takes the fields of one operation's reply block, logs as the
// operation's row and log set say, and returns the result or raises. Received descriptors live in
// the fields and are closed with them on every failure path.
template <class R>
struct ReplyTag {};

using platform::os_log::Logger;

// The reply's values decoded by its row. This is where a reply enters the client: a value of
// another kind than its row declares is the XPC layer's reply-invalid error (NSCocoaErrorDomain
// 4101), as for a reply the layer's own check refuses.
ReplyFields decodeReply(const OperationDescriptor& row, std::vector<platform::xpc::Value> values);

void handleReply(const OperationDescriptor& row, ReplyFields reply, const Logger& log,
                 ReplyTag<void>);
Bytes handleReply(const OperationDescriptor& row, ReplyFields reply, const Logger& log,
                  ReplyTag<Bytes>);
std::string handleReply(const OperationDescriptor& row, ReplyFields reply, const Logger& log,
                        ReplyTag<std::string>);
Endpoint handleReply(const OperationDescriptor& row, ReplyFields reply, const Logger& log,
                     ReplyTag<Endpoint>);
StringListsDictionary handleReply(const OperationDescriptor& row, ReplyFields reply,
                                  const Logger& log, ReplyTag<StringListsDictionary>);
EphemeralSecret handleReply(const OperationDescriptor& row, ReplyFields reply, const Logger& log,
                            ReplyTag<EphemeralSecret>);
std::optional<Number> handleReply(const OperationDescriptor& row, ReplyFields reply,
                                  const Logger& log, ReplyTag<std::optional<Number>>);
TOTPPairingInformation handleReply(const OperationDescriptor& row, ReplyFields reply,
                                   const Logger& log, ReplyTag<TOTPPairingInformation>);
DesktopPicture handleReply(const OperationDescriptor& row, ReplyFields reply, const Logger& log,
                           ReplyTag<DesktopPicture>);
DesktopAsset handleReply(const OperationDescriptor& row, ReplyFields reply, const Logger& log,
                         ReplyTag<DesktopAsset>);
std::vector<Bytes> handleReply(const OperationDescriptor& row, ReplyFields reply, const Logger& log,
                               ReplyTag<std::vector<Bytes>>);

}  // namespace brellis::daemon_client
