#include "daemon_client/daemon_actor.h"

#include "platform/dispatch/process_local.h"

namespace brellis::daemon_client {

namespace {
constexpr const char* kLabel = "DaemonActor";
}  // namespace

DaemonActor::DaemonActor() : queue_(kLabel) {}

DaemonActor& DaemonActor::shared() {
  // Never destroyed: tasks may still run on it while the process exits. A forked child makes its
  // own: the parent's strand runs on the parent's pool.
  static auto* actor =
      new platform::dispatch::ProcessLocal<DaemonActor>([] { return new DaemonActor(); });
  return actor->get();
}

}  // namespace brellis::daemon_client
