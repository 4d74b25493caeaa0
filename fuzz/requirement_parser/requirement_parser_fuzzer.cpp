// Compiles arbitrary text as a requirement and evaluates what compiles; only SecurityError may
// come out.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/security/requirement.h"
#include "platform/security/security_error.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace brellis::platform::security;
  try {
    Requirement requirement =
        Requirement::compile(std::string_view(reinterpret_cast<const char*>(data), size));
    SigningInformation info;
    info.identifier = "com.velkor.tarvo.daemon";
    info.info.set("CFBundleShortVersionString", "2.1");
    info.certificates = {brellis::platform::foundation::Bytes(data, data + size)};
    info.anchored = true;
    (void)requirement.isSatisfiedBy(info);
  } catch (const SecurityError&) {
  }
  return 0;
}
