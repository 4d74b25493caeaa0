// Feeds arbitrary bytes (and a few descriptors) to the frame reader the way a socket would, in
// chunks, and re-encodes every frame that decodes: nothing may crash, leak or loop.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "platform/xpc/frame.h"

using namespace brellis::platform::xpc;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  ConnectionLimits limits;
  limits.maxFrameSize = 1 << 16;
  limits.maxNesting = 16;
  limits.maxDescriptors = 4;
  FrameReader reader(limits);
  size_t descriptors = data[0] % 4;
  size_t chunk = 1 + data[1] % 64;
  for (size_t i = 0; i < descriptors; ++i)
    reader.pushDescriptor(UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC)));
  data += 2;
  size -= 2;
  for (size_t offset = 0; offset < size; offset += chunk) {
    size_t n = size - offset < chunk ? size - offset : chunk;
    reader.push({data + offset, n});
    for (;;) {
      auto next = reader.next();
      if (!next) return 0;  // a failure is final
      if (!*next) break;
      (void)encodeFrame(**next, limits);
    }
  }
  return 0;
}
