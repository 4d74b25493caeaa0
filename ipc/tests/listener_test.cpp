#include "ipc/listener.h"

#include <gtest/gtest.h>

#include "ipc/tests/xpc_ipc_test_support.h"
#include "platform/foundation/os_version.h"
#include "platform/xpc/xpc_error.h"

namespace brellis::ipc {
namespace {

using namespace testing;
using platform::os_log::LogLevel;
using platform::os_log::ScopedLogCapture;

class ListenerTest : public ::testing::Test {
 protected:
  std::shared_ptr<Connection<EchoInterface>> client() {
    return Connection<EchoInterface>::withMachServiceName("com.test.listener",
                                                          kConnectionPrivileged);
  }
  std::optional<platform::os_log::LogRecord> find(const std::string& text) {
    for (const auto& r : capture_.sink().records()) {
      if (r.text == text) return r;
    }
    return std::nullopt;
  }
  ScopedStateRoot root_;
  ScopedLogCapture capture_{LogLevel::debug};
  std::shared_ptr<EchoObject> object_ = std::make_shared<EchoObject>();
  const std::string category_ = "Listener<EchoInterface>";
};

TEST_F(ListenerTest, UnverifiedListenerAcceptsAddsAndRemovesWithExactLines) {
  auto listener = Listener<EchoInterface>::withMachServiceName(object_, "com.test.listener");
  auto id = hexId(listener->id());
  run(listener->activate());
  auto activating = find("activating listener(" + id + ") WITHOUT client verification");
  ASSERT_TRUE(activating);
  EXPECT_EQ(activating->level, LogLevel::error);
  EXPECT_EQ(activating->category, category_);
  EXPECT_EQ(activating->subsystem, "VelkorIPC");

  auto connection = client();
  EXPECT_EQ(run(echo(connection, "a")), "a");
  auto pid = std::to_string(::getpid());
  auto accepted = find("listener(" + id + ") connection accepted from process " + pid);
  ASSERT_TRUE(accepted);
  EXPECT_EQ(accepted->level, LogLevel::defaultLevel);
  auto adding = find("listener(" + id + ") adding connection from process " + pid);
  ASSERT_TRUE(adding);
  EXPECT_EQ(adding->level, LogLevel::debug);
  EXPECT_EQ(run(listener->connectionCount()), 1u);

  run(connection->invalidate());
  ASSERT_TRUE(eventually([&] { return run(listener->connectionCount()) == 0; }));
  auto ended = find("listener(" + id + ") connection invalidated from process " + pid);
  ASSERT_TRUE(ended);
  EXPECT_EQ(ended->level, LogLevel::defaultLevel);
}

TEST_F(ListenerTest, InvalidateStopsNewClientsButKeepsAcceptedOnes) {
  auto listener = Listener<EchoInterface>::withMachServiceName(object_, "com.test.listener");
  run(listener->activate());
  auto first = client();
  EXPECT_EQ(run(echo(first, "a")), "a");
  run(listener->invalidate());
  EXPECT_TRUE(find("invalidating listener(" + hexId(listener->id()) + ")"));
  EXPECT_EQ(run(echo(first, "still")), "still");
  auto second = client();
  try {
    run(echo(second, "late"));
    ADD_FAILURE();
  } catch (const platform::foundation::ErrorException& e) {
    EXPECT_EQ(e.record().code, kErrorConnectionInvalid);
  }
  auto id = hexId(listener->id());
  listener.reset();
  EXPECT_TRUE(find("listener(" + id + ") deallocated"));
  // After the listener is gone an ending client logs nothing for it.
  capture_.sink().clear();
  run(first->invalidate());
  // The server side sees the end of the link on its own thread and has nobody left to tell, so
  // only the passing of time can show that no line comes.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(capture_.sink().texts(category_).empty());
}

TEST_F(ListenerTest, Before13ARefusedClientGetsTheFaultAndDenialLines) {
  platform::foundation::ScopedMacOSVersionOverride before13(false);
  auto requirement = std::make_shared<CodeSigningRequirement>();
  requirement->addCodeSigningRequirement("identifier \"com.velkor.tarvo.daemon\"");
  auto listener =
      Listener<EchoInterface>::withMachServiceName(object_, "com.test.listener", requirement);
  auto id = hexId(listener->id());
  run(listener->activate());
  ASSERT_TRUE(
      find("activating listener(" + id + ") with client verification only at connection time"));
  try {
    run(echo(client(), "x"));
    ADD_FAILURE();
  } catch (const platform::foundation::ErrorException& e) {
    EXPECT_EQ(e.record().code, kErrorConnectionInvalid);
  }
  bool fault = false;
  for (const auto& r : capture_.sink().records()) {
    if (r.text.starts_with("listener(" + id + ") rejected connection from process " +
                           std::to_string(::getpid()) + " with error: ")) {
      fault = r.level == LogLevel::fault;
    }
  }
  EXPECT_TRUE(fault);
  EXPECT_TRUE(eventually([&] {
    return countContaining(capture_.sink().texts("CodeSigningRequirement"),
                           "Denied XPC client access") == 1;
  }));
  EXPECT_EQ(run(listener->connectionCount()), 0u);
}

TEST_F(ListenerTest, From13ThePlatformRefusesWithoutTheFaultLine) {
  auto requirement = std::make_shared<CodeSigningRequirement>();
  requirement->addCodeSigningRequirement("identifier \"com.velkor.tarvo.daemon\"");
  auto listener =
      Listener<EchoInterface>::withMachServiceName(object_, "com.test.listener", requirement);
  auto id = hexId(listener->id());
  run(listener->activate());
  auto activating = find("activating listener(" + id + ")");
  ASSERT_TRUE(activating);
  EXPECT_EQ(activating->level, LogLevel::info);
  try {
    run(echo(client(), "x"));
    ADD_FAILURE();
  } catch (const platform::foundation::ErrorException& e) {
    EXPECT_EQ(e.record().code, kErrorConnectionInvalid);
  }
  EXPECT_EQ(countContaining(capture_.sink().texts(category_), "rejected connection"), 0u);
  EXPECT_EQ(countContaining(capture_.sink().texts(category_), "connection accepted"), 0u);
}

TEST_F(ListenerTest, ARequirementThatCannotBeSetRefusesEveryClient) {
  auto requirement = std::make_shared<CodeSigningRequirement>();
  requirement->addUncompiledRequirementForTesting("identifier (");
  auto listener =
      Listener<EchoInterface>::withMachServiceName(object_, "com.test.listener", requirement);
  auto id = hexId(listener->id());
  run(listener->activate());
  try {
    run(echo(client(), "x"));
    ADD_FAILURE() << "an unverified client was served";
  } catch (const platform::foundation::ErrorException& e) {
    EXPECT_EQ(e.record().code, kErrorConnectionInvalid);
  }
  EXPECT_EQ(countContaining(capture_.sink().texts(category_),
                            "listener(" + id + ") rejected connection from process " +
                                std::to_string(::getpid()) + " with error: "),
            1u);
  EXPECT_EQ(countContaining(capture_.sink().texts(category_), "connection accepted"), 0u);
  EXPECT_EQ(run(listener->connectionCount()), 0u);
}

}  // namespace
}  // namespace brellis::ipc
