// Feeds outside bytes to the link's decoders: the frame stream (in chunks whose sizes come from
// the input), every hello payload found in it, and the same bytes as a peer descriptor.
#include <cstddef>
#include <cstdint>

#include "platform/multipeer/frame.h"
#include "platform/multipeer/peer_descriptor.h"

namespace mp = brellis::platform::multipeer;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // A small cap so that the fuzzer reaches the size checks.
  brellis::platform::transport::FrameReader reader(mp::linkFrameFormat(1024));
  size_t chunk = (data[0] % 16) + 1;
  for (size_t offset = 1; offset < size; offset += chunk) {
    size_t n = size - offset < chunk ? size - offset : chunk;
    reader.push({data + offset, n});
    auto next = reader.next();
    for (; next && *next; next = reader.next()) {
      mp::Frame frame{static_cast<mp::FrameType>((*next)->type),
                      mp::Bytes((*next)->payload.begin(), (*next)->payload.end())};
      if (frame.type == mp::FrameType::hello) {
        if (auto hello = mp::decodeHello(frame.payload)) {
          auto again = mp::encodeHello(*hello);
          if (!again || mp::decodeHello(*again).value() != *hello) __builtin_trap();
        }
      }
      if (frame.payload.size() > 1024) __builtin_trap();
    }
    if (!next) break;
  }
  mp::Bytes bytes(data, data + size);
  (void)mp::decodeHello(bytes);
  if (auto descriptor = mp::decodePeerDescriptor(bytes)) {
    if (mp::encodePeerDescriptor(*descriptor) != bytes) __builtin_trap();
  }
  return 0;
}
