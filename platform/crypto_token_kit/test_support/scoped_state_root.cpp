#include "platform/crypto_token_kit/test_support/scoped_state_root.h"

#include <cstdlib>
#include <stdexcept>
#include <system_error>

namespace brellis::platform::crypto_token_kit::test_support {

ScopedStateRoot::ScopedStateRoot() {
  if (const char* old = std::getenv("BRELLIS_ROOT")) previous_ = old;
  std::string pattern = (std::filesystem::temp_directory_path() / "brellis-root-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
  ::setenv("BRELLIS_ROOT", path_.c_str(), 1);
}

ScopedStateRoot::~ScopedStateRoot() {
  if (previous_) {
    ::setenv("BRELLIS_ROOT", previous_->c_str(), 1);
  } else {
    ::unsetenv("BRELLIS_ROOT");
  }
  std::error_code error;
  std::filesystem::remove_all(path_, error);
}

}  // namespace brellis::platform::crypto_token_kit::test_support
