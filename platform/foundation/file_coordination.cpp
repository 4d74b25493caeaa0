#include "platform/foundation/file_coordination.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <thread>

namespace brellis::platform::foundation {

namespace {

class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Takes the exclusive lock, waiting at most `maxWait` when one is given (polling, as flock has
// no timed form).
bool lockExclusive(int fd, std::optional<std::chrono::milliseconds> maxWait) {
  if (!maxWait) {
    int result;
    do {
      result = ::flock(fd, LOCK_EX);
    } while (result != 0 && errno == EINTR);
    return result == 0;
  }
  auto deadline = std::chrono::steady_clock::now() + *maxWait;
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, std::chrono::milliseconds(16));
  }
}

}  // namespace

bool coordinateWriting(const std::filesystem::path& path,
                       const std::function<void(const std::filesystem::path&)>& accessor,
                       const CoordinationLimits& limits) {
  std::string lockPath = path.string() + ".lock";
  const mode_t mode = limits.ownLockFileOnly ? 0600 : 0644;
  ScopedFd fd(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, mode));
  if (fd.get() < 0) return false;
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  // flock works on a descriptor opened for reading only: a lock file that anyone else may open
  // is one that anyone else may hold.
  if (limits.ownLockFileOnly && (info.st_uid != ::geteuid() || (info.st_mode & 077) != 0)) {
    return false;
  }
  if (!lockExclusive(fd.get(), limits.maxWait)) return false;
  try {
    accessor(path);
  } catch (...) {
    ::flock(fd.get(), LOCK_UN);
    throw;
  }
  ::flock(fd.get(), LOCK_UN);
  return true;
}

bool writeFileAtomically(const std::filesystem::path& path, const void* data, size_t size) {
  std::string pattern =
      (path.parent_path() / ("." + path.filename().string() + ".XXXXXX")).string();
  int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) return false;
  const auto* bytes = static_cast<const char*>(data);
  size_t written = 0;
  bool ok = true;
  while (written < size) {
    ssize_t n = ::write(fd, bytes + written, size - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    written += static_cast<size_t>(n);
  }
  ok = ok && ::fchmod(fd, 0644) == 0;
  ok = (::close(fd) == 0) && ok;
  ok = ok && ::rename(pattern.c_str(), path.c_str()) == 0;
  if (!ok) ::unlink(pattern.c_str());
  return ok;
}

}  // namespace brellis::platform::foundation
