#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace brellis::testing {

// What a run of a python3 oracle script produced: its exit status (-1 when it could not be
// started or was killed by a signal) and everything it wrote to stdout.
struct OracleOutput {
  int status = -1;
  std::string out;

  bool ok() const { return status == 0; }
  // `out` without its trailing newlines.
  std::string line() const;
};

// The shared reader and writer of property lists and keyed archives (plist_oracle.py beside
// this header; its commands are described there).
std::filesystem::path plistOracleScript();

// Runs `python3 script arguments...` with `input` on its stdin (stderr is inherited) and waits
// for it.
OracleOutput runPythonOracle(const std::filesystem::path& script,
                             const std::vector<std::string>& arguments,
                             const std::string& input = "");

// Runs the script with `bytes` in a temporary file whose path is appended to `arguments`; the
// file is removed afterwards.
OracleOutput runPythonOracleOnFile(const std::filesystem::path& script,
                                   std::vector<std::string> arguments,
                                   const std::vector<uint8_t>& bytes);

// Runs the script with `input` on its stdin and the path of an empty temporary file appended to
// `arguments`, and returns what the script wrote into that file (nullopt when it failed).
std::optional<std::vector<uint8_t>> runPythonOracleWritingFile(const std::filesystem::path& script,
                                                               std::vector<std::string> arguments,
                                                               const std::string& input);

}  // namespace brellis::testing
