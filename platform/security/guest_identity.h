#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>

namespace brellis::platform::security {

// Who is at the other end of a connected Unix socket, captured when it connected: the kernel's
// credentials (SO_PEERCRED) and the start time of that process (field 22 of /proc/<pid>/stat, in
// clock ticks since boot). The start time tells a reused pid apart from the process that
// connected; the executable's device and inode tell an exec after connecting.
struct GuestIdentity {
  pid_t pid = 0;
  uid_t uid = 0;
  gid_t gid = 0;
  uint64_t startTime = 0;
  // The executable file the process ran when it was captured (st_dev/st_ino of
  // /proc/<pid>/exe); 0 when it could not be read. A later exec into another file is noticed.
  uint64_t executableDevice = 0;
  uint64_t executableInode = 0;

  bool operator==(const GuestIdentity&) const = default;
};

// Absent when `fd` is not a connected Unix socket or the peer process is already gone.
std::optional<GuestIdentity> captureGuestIdentity(int connectedUnixSocketFd);

// The identity of a process by pid (used for a process that identifies itself, e.g. this one).
std::optional<GuestIdentity> guestIdentityOfProcess(pid_t pid);

// Field 22 of /proc/<pid>/stat; absent when the process does not exist or the file is malformed.
std::optional<uint64_t> processStartTime(pid_t pid);

}  // namespace brellis::platform::security
