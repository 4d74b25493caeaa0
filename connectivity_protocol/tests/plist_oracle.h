#pragma once

#include <stdexcept>
#include <string>

#include "platform/foundation/plist_value.h"
#include "testing/support/python_oracle.h"

// python3's plistlib (testing/support/plist_oracle.py) as an independent reader and writer of
// binary property lists.
namespace brellis::connectivity_protocol::testing {

// The typed JSON form of the property list, as plistlib reads it (see plist_oracle.py).
inline std::string plistlibDump(const platform::foundation::Bytes& bytes) {
  brellis::testing::OracleOutput output = brellis::testing::runPythonOracleOnFile(
      brellis::testing::plistOracleScript(), {"dump"}, bytes);
  if (!output.ok()) return "<plistlib failed>";
  return output.line();
}

// The binary property list that plistlib writes for the typed JSON form.
inline platform::foundation::Bytes plistlibWrite(const std::string& typedJson) {
  auto bytes = brellis::testing::runPythonOracleWritingFile(brellis::testing::plistOracleScript(),
                                                            {"write"}, typedJson);
  if (!bytes) throw std::runtime_error("plistlib could not write " + typedJson);
  return *bytes;
}

}  // namespace brellis::connectivity_protocol::testing
