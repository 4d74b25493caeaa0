#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/transport/unique_fd.h"

namespace brellis::platform::transport {

// One recvmsg(MSG_CMSG_CLOEXEC | MSG_DONTWAIT): bytes, descriptors (SCM_RIGHTS) and the
// sender's credentials (SCM_CREDENTIALS, with SO_PASSCRED set). When the control data was
// truncated (MSG_CTRUNC or MSG_TRUNC) every received descriptor is closed and `truncated` set.
struct Received {
  ssize_t size = -1;  // 0: end of stream; -1: error (see `error`)
  int error = 0;
  std::vector<UniqueFd> fds;
  std::optional<ucred> credentials;
  bool truncated = false;
};
Received receiveMessage(int fd, std::span<uint8_t> buffer, size_t maxDescriptors);

// One sendmsg(MSG_NOSIGNAL | MSG_DONTWAIT) with optional descriptors and, when asked, this
// process's credentials. Returns the bytes sent or -1 with errno in `error`.
ssize_t sendMessage(int fd, std::span<const uint8_t> bytes, std::span<const int> fds,
                    bool withCredentials, int& error);

// Sets O_NONBLOCK and SO_PASSCRED; false on failure.
bool prepareSocket(int fd);

}  // namespace brellis::platform::transport
