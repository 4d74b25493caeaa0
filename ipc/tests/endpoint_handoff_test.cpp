// An anonymous listener's endpoint handed from this process through a broker process to a
// client process, which then calls this process's exported object directly.
#include <gtest/gtest.h>

#include <set>

#include "ipc/connection.h"
#include "ipc/listener.h"
#include "ipc/tests/peer_process.h"
#include "ipc/tests/xpc_ipc_test_support.h"
#include "platform/xpc/xpc_error.h"
#include "platform/xpc/xpc_listener.h"
#include "testing/support/temporary_state_root.h"

namespace brellis::ipc {
namespace {

using namespace testing;

constexpr const char* kBrokerService = "com.test.endpoint-broker";

// Records the processes of the connections the listener adds and ends.
class ProcessRecorder : public ListenerDelegate {
 public:
  asio::awaitable<void> listener(std::shared_ptr<AnyListener>,
                                 std::shared_ptr<AnyListenerConnection> didAdd) override {
    std::lock_guard lock(mutex_);
    added_.push_back(didAdd->processIdentifier());
    co_return;
  }
  asio::awaitable<void> listener(std::shared_ptr<AnyListener>,
                                 std::shared_ptr<AnyListenerConnection> didInvalidate,
                                 std::shared_ptr<XpcConnection>) override {
    std::lock_guard lock(mutex_);
    ended_.push_back(didInvalidate->processIdentifier());
    co_return;
  }
  std::vector<int32_t> added() {
    std::lock_guard lock(mutex_);
    return added_;
  }
  std::vector<int32_t> ended() {
    std::lock_guard lock(mutex_);
    return ended_;
  }

 private:
  std::mutex mutex_;
  std::vector<int32_t> added_;
  std::vector<int32_t> ended_;
};

TEST(EndpointHandoffTest, ClientReachesTheListenerThroughABrokerUntilItIsInvalidated) {
  brellis::testing::TemporaryStateRoot root;
  PeerProcess broker(BRELLIS_IPC_PEER, {"broker", kBrokerService});
  ASSERT_EQ(broker.readLine(), "ready");

  // Before anything is registered the broker has no endpoint to give.
  {
    PeerProcess early(BRELLIS_IPC_PEER, {"client", kBrokerService});
    EXPECT_EQ(early.readLine(), "endpoint none");
  }

  auto recorder = std::make_shared<ProcessRecorder>();
  auto object = std::make_shared<EchoObject>();
  auto anonymous = XpcListener::makeAnonymous();
  auto listener = Listener<EchoInterface>::withListener(object, anonymous, nullptr, recorder);
  run(listener->activate());
  auto brokerConnection = Connection<EndpointBrokerInterface>::withMachServiceName(
      kBrokerService, kConnectionPrivileged);
  run(registerEndpoint(brokerConnection, anonymous->endpoint()));

  PeerProcess first(BRELLIS_IPC_PEER, {"client", kBrokerService});
  ASSERT_EQ(first.readLine(), "endpoint ok");
  const pid_t firstPid = first.pid();
  ASSERT_TRUE(first.writeLine("echo one"));
  EXPECT_EQ(first.readLine(), "ok one");
  // The call came straight from the client process, not through the broker.
  EXPECT_TRUE(eventually([&] { return recorder->added().size() == 1; }));
  EXPECT_EQ(recorder->added(), std::vector<int32_t>{firstPid});
  EXPECT_EQ(run(listener->connectionCount()), 1u);

  run(listener->invalidate());
  ASSERT_TRUE(first.writeLine("echo two"));
  EXPECT_EQ(first.readLine(), "ok two");

  // The broker still hands out the endpoint, but it leads nowhere any more.
  PeerProcess second(BRELLIS_IPC_PEER, {"client", kBrokerService});
  ASSERT_EQ(second.readLine(), "endpoint ok");
  ASSERT_TRUE(second.writeLine("echo three"));
  EXPECT_EQ(second.readLine(), "error " + std::to_string(kErrorConnectionInvalid));
  ASSERT_TRUE(second.writeLine("echo four"));
  EXPECT_EQ(second.readLine(), "error " + std::to_string(kErrorConnectionInvalid));
  EXPECT_EQ(second.finish(), 0);

  ASSERT_TRUE(first.writeLine("echo five"));
  EXPECT_EQ(first.readLine(), "ok five");
  EXPECT_EQ(recorder->added().size(), 1u);

  // The accepted client's end is still noticed after the listener's invalidation.
  EXPECT_EQ(first.finish(), 0);
  EXPECT_TRUE(eventually([&] { return recorder->ended() == std::vector<int32_t>{firstPid}; }));
  EXPECT_TRUE(eventually([&] { return run(listener->connectionCount()) == 0u; }));
  EXPECT_EQ(broker.finish(), 0);
}

}  // namespace
}  // namespace brellis::ipc
