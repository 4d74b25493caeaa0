#include "token_host/unlock_archive.h"

#include "platform/foundation/keyed_archiver.h"

namespace brellis::token_host {

platform::foundation::Bytes archiveUnlockData(const UnlockData& data) {
  return platform::foundation::archiveEncodable(data.encode());
}

platform::foundation::Bytes archiveUnlockStatus(const UnlockStatus& status) {
  return platform::foundation::archiveEncodable(status.encode());
}

}  // namespace brellis::token_host
