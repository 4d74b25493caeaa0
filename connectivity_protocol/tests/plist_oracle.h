#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "platform/foundation/plist_value.h"

// Runs python3's plistlib (tests/plist_oracle.py) as an independent reader and writer of
// binary property lists.
namespace brellis::connectivity_protocol::testing {

inline std::string oracleTempFile() {
  char path[] = "/tmp/brellis-oracle-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  close(fd);
  return path;
}

// The typed JSON form of the property list, as plistlib reads it (see plist_oracle.py).
inline std::string plistlibDump(const platform::foundation::Bytes& bytes) {
  std::string file = oracleTempFile();
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  std::string command = std::string(BRELLIS_PYTHON3) + " " + BRELLIS_PLIST_ORACLE + " dump " + file;
  FILE* pipe = popen(command.c_str(), "r");
  std::string out;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  int status = pclose(pipe);
  std::remove(file.c_str());
  if (status != 0) return "<plistlib failed>";
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

// The binary property list that plistlib writes for the typed JSON form.
inline platform::foundation::Bytes plistlibWrite(const std::string& typedJson) {
  std::string file = oracleTempFile();
  std::string command =
      std::string(BRELLIS_PYTHON3) + " " + BRELLIS_PLIST_ORACLE + " write " + file;
  FILE* pipe = popen(command.c_str(), "w");
  fwrite(typedJson.data(), 1, typedJson.size(), pipe);
  if (pclose(pipe) != 0) throw std::runtime_error("plistlib could not write " + typedJson);
  std::ifstream in(file, std::ios::binary);
  platform::foundation::Bytes bytes((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
  std::remove(file.c_str());
  return bytes;
}

}  // namespace brellis::connectivity_protocol::testing
