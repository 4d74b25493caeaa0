// One call's round trip through the XPC layer (named service, server in this process on its own
// strand) against a raw Unix-socket ping-pong between two threads, measured in the same run.
// The counter "ratio_vs_raw" is the layer's time per round trip over the raw one (target: <= 2).
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <thread>

#include "platform/xpc/exported_object.h"
#include "platform/xpc/xpc_connection.h"
#include "platform/xpc/xpc_listener.h"

namespace {

using namespace brellis::platform::xpc;

std::shared_ptr<const InterfaceDescription> pingInterface() {
  static auto d = std::make_shared<const InterfaceDescription>(
      "Ping", std::vector<MethodDescription>{
                  {"ping:reply:", {arg(ValueKind::int64)}, std::vector{arg(ValueKind::int64)}}});
  return d;
}

double rawRoundTripSeconds(int rounds) {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return 0;
  std::thread echo([fd = pair[1], rounds] {
    char buffer[16];
    for (int i = 0; i < rounds; ++i) {
      if (::read(fd, buffer, 16) <= 0) return;
      if (::write(fd, buffer, 16) != 16) return;
    }
  });
  char message[16] = {};
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < rounds; ++i) {
    if (::write(pair[0], message, 16) != 16 || ::read(pair[0], message, 16) <= 0) break;
  }
  auto elapsed = std::chrono::steady_clock::now() - start;
  echo.join();
  ::close(pair[0]);
  ::close(pair[1]);
  return std::chrono::duration<double>(elapsed).count() / rounds;
}

void BM_XpcRoundTrip(benchmark::State& state) {
  char tmpl[] = "/tmp/brellis-bench-XXXXXX";
  std::filesystem::path root = ::mkdtemp(tmpl);
  ::setenv("BRELLIS_ROOT", root.c_str(), 1);
  auto object = std::make_shared<Dispatcher>();
  object->on("ping:reply:", [](std::vector<Value> args, Reply reply) { reply(std::move(args)); });
  auto listener = XpcListener::makeWithMachServiceName("com.bench.ping");
  listener->setDelegate([&](const std::shared_ptr<XpcConnection>& c) {
    c->setExportedInterface(pingInterface());
    c->setExportedObject(object);
    c->activate();
    return true;
  });
  listener->activate();
  auto client = XpcConnection::makeWithMachServiceName("com.bench.ping", kConnectionPrivileged);
  client->setRemoteObjectInterface(pingInterface());
  client->activate();
  auto proxy = client->remoteObjectProxyWithErrorHandler([](const ErrorRecord&) {});
  auto callOnce = [&] {
    std::promise<void> done;
    proxy.call("ping:reply:", {Value::int64(1)}, [&](std::vector<Value>) { done.set_value(); });
    done.get_future().wait();
  };
  callOnce();  // connect outside the measurement
  double raw = rawRoundTripSeconds(20000);
  auto start = std::chrono::steady_clock::now();
  int64_t rounds = 0;
  for (auto _ : state) {
    callOnce();
    ++rounds;
  }
  double layer = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() /
                 static_cast<double>(rounds);
  state.counters["raw_us"] = raw * 1e6;
  state.counters["layer_us"] = layer * 1e6;
  state.counters["ratio_vs_raw"] = raw > 0 ? layer / raw : 0;
  client->invalidate();
  listener->invalidate();
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);
}
BENCHMARK(BM_XpcRoundTrip)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
