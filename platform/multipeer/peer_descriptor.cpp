#include "platform/multipeer/peer_descriptor.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/multipeer/frame.h"

namespace brellis::platform::multipeer {

namespace {
constexpr uint8_t kMagic[4] = {'B', 'R', 'L', 'P'};
constexpr uint8_t kDescriptorVersion = 1;
}  // namespace

bool isValidToken(const std::string& token) {
  if (token.empty() || token.size() > 32) return false;
  for (char c : token) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

foundation::Bytes encodePeerDescriptor(const PeerDescriptor& descriptor) {
  transport::ByteWriter out(foundation::Bytes(std::begin(kMagic), std::end(kMagic)));
  out.u8(kDescriptorVersion);
  out.field(descriptor.displayName);
  out.field(descriptor.uniqueIdentity);
  out.u32(static_cast<uint32_t>(descriptor.pid));
  out.field(descriptor.token);
  return out.take();
}

std::optional<PeerDescriptor> decodePeerDescriptor(const foundation::Bytes& bytes) {
  if (bytes.size() > kMaxDescriptorBytes || bytes.size() < 5) return std::nullopt;
  if (!std::equal(std::begin(kMagic), std::end(kMagic), bytes.begin())) return std::nullopt;
  transport::ByteReader reader(std::span<const uint8_t>(bytes).subspan(4));
  uint8_t version = 0;
  uint32_t pid = 0;
  PeerDescriptor out;
  if (!reader.u8(version) || version != kDescriptorVersion ||
      !readText(reader, kMaxDisplayNameBytes, out.displayName) ||
      !readText(reader, kMaxUniqueIdentityBytes, out.uniqueIdentity) ||
      out.uniqueIdentity.empty() || !reader.u32(pid) || !readText(reader, 32, out.token) ||
      !reader.atEnd()) {
    return std::nullopt;
  }
  if (pid == 0 || pid > 0x7fffffffu || !isValidToken(out.token)) return std::nullopt;
  out.pid = static_cast<int32_t>(pid);
  return out;
}

bool writePeerDescriptor(const std::filesystem::path& directory, const PeerDescriptor& descriptor) {
  auto bytes = encodePeerDescriptor(descriptor);
  auto finalPath = directory / (descriptor.token + ".peer");
  auto tempPath = directory / (".tmp-" + descriptor.token);
  int fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return false;
  size_t written = 0;
  while (written < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::close(fd);
      ::unlink(tempPath.c_str());
      return false;
    }
    written += static_cast<size_t>(n);
  }
  ::close(fd);
  if (::rename(tempPath.c_str(), finalPath.c_str()) != 0) {
    ::unlink(tempPath.c_str());
    return false;
  }
  return true;
}

std::optional<PeerDescriptor> readPeerDescriptor(const std::filesystem::path& file) {
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
      info.st_size > static_cast<off_t>(kMaxDescriptorBytes)) {
    ::close(fd);
    return std::nullopt;
  }
  foundation::Bytes bytes(kMaxDescriptorBytes + 1);
  size_t total = 0;
  while (total < bytes.size()) {
    ssize_t n = ::read(fd, bytes.data() + total, bytes.size() - total);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    total += static_cast<size_t>(n);
  }
  ::close(fd);
  bytes.resize(total);
  return decodePeerDescriptor(bytes);
}

bool isProcessAlive(int32_t pid) {
  if (pid <= 0) return false;
  return ::kill(pid, 0) == 0 || errno == EPERM;
}

}  // namespace brellis::platform::multipeer
