#include "connectivity/pairing_identity_store.h"

#include <utility>

#include "connectivity/peer_defaults_store.h"
#include "platform/dispatch/serial_queue.h"

namespace brellis::connectivity {

namespace {

constexpr const char* kQueueLabel = "PairingIdentityStore.queue";

platform::dispatch::SerialQueue& queue() {
  static platform::dispatch::SerialQueue instance(kQueueLabel);
  return instance;
}

// Touched only on queue().
std::shared_ptr<const PairingIdentities>& value() {
  static std::shared_ptr<const PairingIdentities> current =
      std::make_shared<const PeerDefaultsStore>();
  return current;
}

}  // namespace

std::shared_ptr<const PairingIdentities> PairingIdentityStore::shared() {
  return queue().sync([] { return value(); });
}

void PairingIdentityStore::setShared(std::shared_ptr<const PairingIdentities> replacement) {
  // Nobody may be left without a source: absence restores the defaults-backed one.
  if (!replacement) replacement = std::make_shared<const PeerDefaultsStore>();
  queue().sync([&replacement] { value() = std::move(replacement); });
}

}  // namespace brellis::connectivity
