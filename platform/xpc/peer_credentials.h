#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>

#include "platform/security/guest_identity.h"

namespace brellis::platform::xpc {

// The identity of the process at the other end of a connection, as the kernel reported it when
// the connection was made (SCM_CREDENTIALS of the peer's first message), plus what /proc said
// about that process at the same moment, so that a later check notices a reused pid or an exec.
struct PeerCredentials {
  pid_t pid = 0;
  uid_t uid = static_cast<uid_t>(-1);
  gid_t gid = static_cast<gid_t>(-1);
  // The audit session (/proc/<pid>/sessionid); -1 when unset or unreadable.
  int32_t auditSessionIdentifier = -1;
  // The process as code signing identifies it (start time, executable), read when the
  // credentials arrived; absent when the process was already gone.
  std::optional<security::GuestIdentity> guest;

  // The identity to check against a requirement: `guest`, or one that no process matches.
  security::GuestIdentity guestIdentity() const;
};

// The audit session identifier of a process, -1 when unset or unreadable.
int32_t processAuditSession(pid_t pid);

}  // namespace brellis::platform::xpc
