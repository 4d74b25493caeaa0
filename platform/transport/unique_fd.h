#pragma once

#include <memory>
#include <utility>

namespace brellis::platform::transport {

// Sole owner of one file descriptor; closes it on destruction. Move-only.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd();

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// A descriptor shared by several values (copies of a message argument); closed with the last.
using SharedFd = std::shared_ptr<const UniqueFd>;

inline SharedFd makeSharedFd(UniqueFd fd) {
  return std::make_shared<const UniqueFd>(std::move(fd));
}

}  // namespace brellis::platform::transport
