#include "platform/xpc/peer_credentials.h"

#include <fstream>
#include <string>

namespace brellis::platform::xpc {

security::GuestIdentity PeerCredentials::guestIdentity() const {
  if (guest) return *guest;
  // No process was found when the credentials arrived: an identity whose start time no live
  // process has, so that every check of it fails as "no such code".
  security::GuestIdentity identity;
  identity.pid = pid;
  identity.uid = uid;
  identity.gid = gid;
  identity.startTime = UINT64_MAX;
  return identity;
}

int32_t processAuditSession(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/sessionid");
  long long value = -1;
  if (!(in >> value)) return -1;
  if (value < 0 || value >= 4294967295LL) return -1;
  return static_cast<int32_t>(value);
}

}  // namespace brellis::platform::xpc
