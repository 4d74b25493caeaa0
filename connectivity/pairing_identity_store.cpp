#include "connectivity/pairing_identity_store.h"

#include <mutex>
#include <utility>

#include "connectivity/peer_defaults_store.h"

namespace brellis::connectivity {

namespace {

// The advertiser's and browser's handlers read the value on pool threads, where nothing may wait
// for another thread: a mutex held only to copy or swap a pointer makes each read and write
// atomic without a hop to a queue.
std::mutex& valueMutex() {
  static std::mutex instance;
  return instance;
}

// Under valueMutex().
std::shared_ptr<const PairingIdentities>& value() {
  static std::shared_ptr<const PairingIdentities> current =
      std::make_shared<const PeerDefaultsStore>();
  return current;
}

}  // namespace

std::shared_ptr<const PairingIdentities> PairingIdentityStore::shared() {
  std::lock_guard lock(valueMutex());
  return value();
}

void PairingIdentityStore::setShared(std::shared_ptr<const PairingIdentities> replacement) {
  // Nobody may be left without a source: absence restores the defaults-backed one.
  if (!replacement) replacement = std::make_shared<const PeerDefaultsStore>();
  std::lock_guard lock(valueMutex());
  // The previous source is released outside the lock, by `replacement`.
  value().swap(replacement);
}

}  // namespace brellis::connectivity
