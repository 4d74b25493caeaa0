// Appends numbered lines through a FileLogger, for the cross-process tests.
// Usage: file_logger_peer <file name> <tag> <count>
#include <cstdlib>
#include <string>

#include "logging/file_logger.h"

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  brellis::logging::FileLogger logger(argv[1], "Peer", argv[2]);
  int count = std::atoi(argv[3]);
  for (int i = 0; i < count; ++i) logger.info(std::string(argv[2]) + " line " + std::to_string(i));
  return 0;
}
