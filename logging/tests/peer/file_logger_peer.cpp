// The second process of the file logger tests.
// Usage: file_logger_peer <file name> <tag> <count>   appends numbered lines through a FileLogger
//        file_logger_peer hold <lock file>            holds an exclusive flock until killed
//        file_logger_peer hold-read <lock file>       the same through a read-only descriptor,
//                                                     as user 65534 when started as root
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "logging/file_logger.h"

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "hold-read") == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return 1;
    int fd = ::open(argv[2], O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::flock(fd, LOCK_EX) != 0) return 1;
    for (;;) ::pause();
  }
  if (argc == 3 && std::strcmp(argv[1], "hold") == 0) {
    int fd = ::open(argv[2], O_RDWR | O_CLOEXEC);
    if (fd < 0 || ::flock(fd, LOCK_EX) != 0) return 1;
    for (;;) ::pause();
  }
  if (argc != 4) return 2;
  brellis::logging::FileLogger logger(argv[1], "Peer", argv[2]);
  int count = std::atoi(argv[3]);
  for (int i = 0; i < count; ++i) logger.info(std::string(argv[2]) + " line " + std::to_string(i));
  return 0;
}
