// Reads outside input as keyed archives: as an encodable property-list tree, as an NSUUID and as
// a peer identifier. Every input must be read or refused with the unarchiver's error; a tree that
// is read must archive and read back equal.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/foundation/keyed_archiver.h"
#include "platform/foundation/keyed_unarchiver.h"
#include "platform/multipeer/peer_id.h"

namespace fnd = brellis::platform::foundation;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fnd::Bytes bytes(data, data + size);
  fnd::KeyedArchiveLimits limits;
  limits.maxDecodedObjects = 4096;
  try {
    std::optional<fnd::PlistValue> tree = fnd::unarchiveDecodable(bytes, limits);
    if (tree && !(fnd::unarchiveDecodable(fnd::archiveEncodable(*tree)) == tree)) std::abort();
  } catch (const fnd::DecodingError&) {
  }
  try {
    fnd::KeyedUnarchiver unarchiver(bytes, limits);
    unarchiver.decodeUuid(fnd::kKeyedArchiveRootObjectKey);
  } catch (const fnd::DecodingError&) {
  }
  brellis::platform::multipeer::unarchivePeerID(bytes);
  return 0;
}
