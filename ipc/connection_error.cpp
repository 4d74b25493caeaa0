#include "ipc/connection_error.h"

namespace brellis::ipc {
namespace {

constexpr const char* kInvalidatedDescription = "Connection invalidated";
constexpr const char* kInterruptedDescription = "Connection interrupted";

}  // namespace

ConnectionError::ConnectionError(Case errorCase, std::string domain)
    : case_(errorCase), domain_(std::move(domain)) {}

std::string ConnectionError::errorDescription() const {
  return case_ == Case::invalidated ? kInvalidatedDescription : kInterruptedDescription;
}

platform::foundation::ErrorRecord ConnectionError::toRecord() const {
  platform::foundation::ErrorRecord record;
  record.domain = domain_;
  record.code = static_cast<int64_t>(case_);
  record.userInfo.set(platform::foundation::kLocalizedDescriptionKey, errorDescription());
  return record;
}

std::string ConnectionError::description() const {
  return case_ == Case::invalidated ? "invalidated" : "interrupted";
}

}  // namespace brellis::ipc
