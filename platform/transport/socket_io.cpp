#include "platform/transport/socket_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace brellis::platform::transport {

Received receiveMessage(int fd, std::span<uint8_t> buffer, size_t maxDescriptors) {
  Received result;
  std::vector<char> control(CMSG_SPACE(sizeof(int) * maxDescriptors) + CMSG_SPACE(sizeof(ucred)));
  iovec iov{buffer.data(), buffer.size()};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control.data();
  msg.msg_controllen = control.size();
  ssize_t n;
  do {
    n = ::recvmsg(fd, &msg, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    result.error = errno;
    return result;
  }
  result.size = n;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET) continue;
    if (c->cmsg_type == SCM_RIGHTS) {
      size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      const unsigned char* data = CMSG_DATA(c);
      for (size_t i = 0; i < count; ++i) {
        int received;
        std::memcpy(&received, data + i * sizeof(int), sizeof(int));
        result.fds.emplace_back(received);
      }
    } else if (c->cmsg_type == SCM_CREDENTIALS && c->cmsg_len >= CMSG_LEN(sizeof(ucred))) {
      ucred cred;
      std::memcpy(&cred, CMSG_DATA(c), sizeof(cred));
      result.credentials = cred;
    }
  }
  if (msg.msg_flags & (MSG_CTRUNC | MSG_TRUNC)) {
    result.truncated = true;
    result.fds.clear();  // closes them
  }
  return result;
}

ssize_t sendMessage(int fd, std::span<const uint8_t> bytes, std::span<const int> fds,
                    bool withCredentials, int& error) {
  std::vector<char> control(CMSG_SPACE(sizeof(int) * fds.size()) + CMSG_SPACE(sizeof(ucred)));
  iovec iov{const_cast<uint8_t*>(bytes.data()), bytes.size()};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  size_t used = 0;
  if (!fds.empty() || withCredentials) {
    msg.msg_control = control.data();
    msg.msg_controllen = control.size();
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    if (!fds.empty()) {
      c->cmsg_level = SOL_SOCKET;
      c->cmsg_type = SCM_RIGHTS;
      c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
      std::memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
      used += CMSG_SPACE(sizeof(int) * fds.size());
      c = CMSG_NXTHDR(&msg, c);
    }
    if (withCredentials) {
      ucred cred{::getpid(), ::geteuid(), ::getegid()};
      c->cmsg_level = SOL_SOCKET;
      c->cmsg_type = SCM_CREDENTIALS;
      c->cmsg_len = CMSG_LEN(sizeof(ucred));
      std::memcpy(CMSG_DATA(c), &cred, sizeof(cred));
      used += CMSG_SPACE(sizeof(ucred));
    }
    msg.msg_controllen = used;
  }
  ssize_t n;
  do {
    n = ::sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  error = n < 0 ? errno : 0;
  return n;
}

bool prepareSocket(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return false;
  int one = 1;
  return ::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &one, sizeof(one)) == 0;
}

}  // namespace brellis::platform::transport
