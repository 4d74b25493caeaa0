#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace brellis::platform::crypto_token_kit::test_support {

// Points BRELLIS_ROOT at a fresh temporary directory for the object's lifetime, then restores
// the previous value and removes the directory.
class ScopedStateRoot {
 public:
  ScopedStateRoot();
  ~ScopedStateRoot();
  ScopedStateRoot(const ScopedStateRoot&) = delete;
  ScopedStateRoot& operator=(const ScopedStateRoot&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::optional<std::string> previous_;
};

}  // namespace brellis::platform::crypto_token_kit::test_support
