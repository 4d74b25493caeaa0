// One call's round trip through the XPC layer (named service, server in this process on its own
// strand) against a raw Unix-socket ping-pong between two threads, measured in the same run: the
// two alternate round by round, so both see the same load of the machine. The counter
// "ratio_vs_raw" is the layer's time per round trip over the raw one (target: <= 2). Under
// `taskset -c 0` both run on one CPU, which leaves out the cost of waking a thread on another
// (virtual) CPU: on a virtual machine that cost varies from run to run more than either path.
#include <benchmark/benchmark.h>
#include <linux/futex.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
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

// A raw ping-pong over a socket pair: 16 bytes there, 16 bytes back, echoed by its own thread.
class RawPingPong {
 public:
  RawPingPong() {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair_) != 0) return;
    echo_ = std::thread([fd = pair_[1]] {
      char buffer[16];
      while (::read(fd, buffer, 16) == 16) {
        if (::write(fd, buffer, 16) != 16) return;
      }
    });
  }
  ~RawPingPong() {
    ::shutdown(pair_[0], SHUT_RDWR);
    if (echo_.joinable()) echo_.join();
    ::close(pair_[0]);
    ::close(pair_[1]);
  }
  bool roundTrip() {
    char message[16] = {};
    return ::write(pair_[0], message, 16) == 16 && ::read(pair_[0], message, 16) == 16;
  }

 private:
  int pair_[2] = {-1, -1};
  std::thread echo_;
};

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
  // The caller sleeps on a futex until the reply block wakes it: one wake-up, as the raw side's
  // blocking read. (std::atomic::wait would spin and yield first, which the raw side does not.)
  auto callOnce = [&] {
    // Shared: the reply block may still be waking the waiter when the waiter sees the flag.
    auto done = std::make_shared<std::atomic<uint32_t>>(0);
    proxy.call("ping:reply:", {Value::int64(1)}, [done](std::vector<Value>) {
      done->store(1);
      ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(done.get()), FUTEX_WAKE_PRIVATE, 1, nullptr,
                nullptr, 0);
    });
    while (done->load() == 0) {
      ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(done.get()), FUTEX_WAIT_PRIVATE, 0, nullptr,
                nullptr, 0);
    }
  };
  callOnce();  // connect outside the measurement
  RawPingPong raw;
  using Clock = std::chrono::steady_clock;
  Clock::duration layerTime{}, rawTime{};
  int64_t rounds = 0;
  for (auto _ : state) {
    auto t0 = Clock::now();
    callOnce();
    auto t1 = Clock::now();
    if (!raw.roundTrip()) {
      state.SkipWithError("raw ping-pong failed");
      break;
    }
    auto t2 = Clock::now();
    layerTime += t1 - t0;
    rawTime += t2 - t1;
    ++rounds;
  }
  double layer = std::chrono::duration<double>(layerTime).count() / static_cast<double>(rounds);
  double rawSeconds = std::chrono::duration<double>(rawTime).count() / static_cast<double>(rounds);
  state.counters["raw_us"] = rawSeconds * 1e6;
  state.counters["layer_us"] = layer * 1e6;
  state.counters["ratio_vs_raw"] = rawSeconds > 0 ? layer / rawSeconds : 0;
  client->invalidate();
  listener->invalidate();
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);
}
BENCHMARK(BM_XpcRoundTrip)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
