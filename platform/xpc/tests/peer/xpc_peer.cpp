// A server process for the cross-process tests: serves the echo interface on the named service
// argv[1] (in the system service directory of the inherited state root) and prints "ready".
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "platform/xpc/exported_object.h"
#include "platform/xpc/tests/xpc_test_support.h"
#include "platform/xpc/xpc_listener.h"

using namespace brellis::platform::xpc;

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  std::string name = argv[1];
  auto object = std::make_shared<Dispatcher>();
  object->on("echo:reply:", [](std::vector<Value> args, Reply reply) {
    reply({Value::string(*args[0].asString())});
  });
  object->on("silent:reply:", [](std::vector<Value>, Reply reply) {
    // Keeps the reply until the process ends: the caller waits until then.
    static std::vector<Reply> kept;
    kept.push_back(reply);
    std::printf("held\n");
    std::fflush(stdout);
  });
  auto listener = XpcListener::makeWithMachServiceName(name);
  std::vector<std::shared_ptr<XpcConnection>> connections;
  std::mutex mutex;
  listener->setDelegate([&](const std::shared_ptr<XpcConnection>& connection) {
    connection->setExportedInterface(brellis::platform::xpc::testing::echoInterface());
    connection->setExportedObject(object);
    connection->activate();
    std::lock_guard lock(mutex);
    connections.push_back(connection);
    return true;
  });
  listener->activate();
  if (auto failure = listener->activationFailure()) {
    std::fprintf(stderr, "%s\n", failure->c_str());
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  for (;;) ::pause();
}
