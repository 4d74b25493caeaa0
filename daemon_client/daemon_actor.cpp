#include "daemon_client/daemon_actor.h"

namespace brellis::daemon_client {

namespace {
constexpr const char* kLabel = "DaemonActor";
}  // namespace

DaemonActor::DaemonActor() : queue_(kLabel) {}

DaemonActor& DaemonActor::shared() {
  // Never destroyed: tasks may still run on it while the process exits.
  static DaemonActor* actor = new DaemonActor();
  return *actor;
}

}  // namespace brellis::daemon_client
