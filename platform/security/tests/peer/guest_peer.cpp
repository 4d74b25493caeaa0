// A guest process for code-signing tests: connects to the Unix socket named by argv[1], sends
// one byte, then waits for a command byte: 'q' exits; 'e' execs the shell argv[2] (keeping the
// socket open, so the other end now talks to another program). EOF exits.

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, argv[1], sizeof(address.sun_path) - 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) return 3;
  char hello = 'h';
  if (::write(fd, &hello, 1) != 1) return 4;
  char command = 0;
  while (::read(fd, &command, 1) == 1) {
    if (command == 'q') return 0;
    if (command == 'e' && argc >= 3) {
      // The exec'ed shell keeps the socket and tells the test once it runs.
      char script[128];
      std::snprintf(script, sizeof(script), "printf x >&%d; read -r line <&%d", fd, fd);
      ::execl(argv[2], argv[2], "-c", script, static_cast<char*>(nullptr));
      return 5;
    }
  }
  return 0;
}
