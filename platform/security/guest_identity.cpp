#include "platform/security/guest_identity.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <string>

namespace brellis::platform::security {
namespace {

constexpr size_t kMaxStatSize = 4096;
// Fields after the command name start at field 3; the start time is field 22.
constexpr int kStartTimeFieldAfterCommand = 22 - 3;

std::string procPath(pid_t pid, const char* entry) {
  return "/proc/" + std::to_string(pid) + "/" + entry;
}

}  // namespace

std::optional<uint64_t> processStartTime(pid_t pid) {
  if (pid <= 0) return std::nullopt;
  int fd = ::open(procPath(pid, "stat").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  char buffer[kMaxStatSize];
  size_t size = 0;
  while (size < sizeof(buffer)) {
    ssize_t n = ::read(fd, buffer + size, sizeof(buffer) - size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    size += static_cast<size_t>(n);
  }
  ::close(fd);
  std::string_view text(buffer, size);
  // The command name is in parentheses and may itself hold spaces and ')'.
  size_t close = text.rfind(')');
  if (close == std::string_view::npos) return std::nullopt;
  text.remove_prefix(close + 1);
  int field = -1;
  size_t position = 0;
  while (position < text.size()) {
    while (position < text.size() && text[position] == ' ') ++position;
    size_t end = text.find(' ', position);
    if (end == std::string_view::npos) end = text.size();
    if (end == position) break;
    if (++field == kStartTimeFieldAfterCommand) {
      uint64_t value = 0;
      auto [ptr, error] = std::from_chars(text.data() + position, text.data() + end, value);
      if (error != std::errc() || ptr != text.data() + end) return std::nullopt;
      return value;
    }
    position = end;
  }
  return std::nullopt;
}

std::optional<GuestIdentity> guestIdentityOfProcess(pid_t pid) {
  std::optional<uint64_t> before = processStartTime(pid);
  if (!before) return std::nullopt;
  GuestIdentity identity;
  identity.pid = pid;
  identity.startTime = *before;
  std::string statusPath = procPath(pid, "");
  struct stat processStat {};
  if (::stat(statusPath.c_str(), &processStat) != 0) return std::nullopt;
  identity.uid = processStat.st_uid;
  identity.gid = processStat.st_gid;
  struct stat executable {};
  if (::stat(procPath(pid, "exe").c_str(), &executable) == 0) {
    identity.executableDevice = executable.st_dev;
    identity.executableInode = executable.st_ino;
  }
  // The pid must still name the same process after the executable was looked at.
  if (processStartTime(pid) != before) return std::nullopt;
  return identity;
}

std::optional<GuestIdentity> captureGuestIdentity(int connectedUnixSocketFd) {
  struct ucred credentials {};
  socklen_t length = sizeof(credentials);
  if (::getsockopt(connectedUnixSocketFd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
      length != sizeof(credentials) || credentials.pid <= 0) {
    return std::nullopt;
  }
  std::optional<GuestIdentity> identity = guestIdentityOfProcess(credentials.pid);
  if (!identity) return std::nullopt;
  // The kernel's credentials are those of the process when it connected; they win.
  identity->uid = credentials.uid;
  identity->gid = credentials.gid;
  return identity;
}

}  // namespace brellis::platform::security
