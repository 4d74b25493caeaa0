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
  mp::FrameDecoder decoder(1024);
  size_t chunk = (data[0] % 16) + 1;
  for (size_t offset = 1; offset < size; offset += chunk) {
    size_t n = size - offset < chunk ? size - offset : chunk;
    if (!decoder.feed(data + offset, n)) break;
    while (auto frame = decoder.next()) {
      if (frame->type == mp::FrameType::hello) {
        if (auto hello = mp::decodeHello(frame->payload)) {
          auto again = mp::encodeHello(*hello);
          if (!again || mp::decodeHello(*again).value() != *hello) __builtin_trap();
        }
      }
      if (frame->payload.size() > 1024) __builtin_trap();
    }
  }
  mp::Bytes bytes(data, data + size);
  (void)mp::decodeHello(bytes);
  if (auto descriptor = mp::decodePeerDescriptor(bytes)) {
    if (mp::encodePeerDescriptor(*descriptor) != bytes) __builtin_trap();
  }
  return 0;
}
