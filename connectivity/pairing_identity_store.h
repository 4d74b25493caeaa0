#pragma once

#include <memory>

#include "connectivity/pairing_identities.h"

namespace brellis::connectivity {

// The process-wide source of the paired devices, a PeerDefaultsStore until replaced. Every read
// and write of the value is atomic (a read followed by a write is not) and never waits for
// another thread, so both may be called on pool threads and strands.
class PairingIdentityStore {
 public:
  PairingIdentityStore() = delete;

  static std::shared_ptr<const PairingIdentities> shared();
  // A null value restores the PeerDefaultsStore.
  static void setShared(std::shared_ptr<const PairingIdentities> value);
};

}  // namespace brellis::connectivity
