#pragma once

#include "platform/foundation/plist_value.h"
#include "token_host/unlock_data.h"
#include "token_host/unlock_status.h"

namespace brellis::token_host {

// The keyed archives in which the records cross the link to the daemon: NSKeyedArchiver with
// secure coding, the record's property-list tree stored under the root key. Raise the archiver's
// error when the tree cannot be stored.
platform::foundation::Bytes archiveUnlockData(const UnlockData& data);
platform::foundation::Bytes archiveUnlockStatus(const UnlockStatus& status);

}  // namespace brellis::token_host
