#pragma once

#include <string>

namespace brellis::ipc {

// A signed product of the maker and the lowest version of it that is trusted.
struct BundleInfo {
  BundleInfo(std::string bundleID, std::string secureVersionNumber)
      : bundleID(std::move(bundleID)), secureVersionNumber(std::move(secureVersionNumber)) {}

  // The code-signing identifier that the peer must have.
  const std::string bundleID;
  // The lowest CFBundleShortVersionString that is trusted (compared with the requirement
  // language's `>=`).
  const std::string secureVersionNumber;
};

}  // namespace brellis::ipc
