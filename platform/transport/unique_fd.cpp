#include "platform/transport/unique_fd.h"

#include <unistd.h>

namespace brellis::platform::transport {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

UniqueFd::~UniqueFd() { reset(); }

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

}  // namespace brellis::platform::transport
