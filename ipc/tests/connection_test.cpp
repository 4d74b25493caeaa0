#include "ipc/connection.h"

#include <gtest/gtest.h>

#include "ipc/tests/xpc_ipc_test_support.h"
#include "platform/foundation/os_version.h"
#include "platform/xpc/xpc_error.h"

namespace brellis::ipc {
namespace {

using namespace testing;
using platform::os_log::LogLevel;
using platform::os_log::ScopedLogCapture;

class RecordingDelegate : public ConnectionDelegate {
 public:
  asio::awaitable<void> connection(std::shared_ptr<AnyConnection> connection,
                                   std::exception_ptr didInvalidate) override {
    std::lock_guard lock(mutex);
    ids.push_back(connection->id());
    errors.push_back(didInvalidate);
    co_return;
  }
  size_t count() {
    std::lock_guard lock(mutex);
    return errors.size();
  }
  std::mutex mutex;
  std::vector<uint64_t> ids;
  std::vector<std::exception_ptr> errors;
};

class ServerSide : public ListenerDelegate {
 public:
  asio::awaitable<void> listener(std::shared_ptr<AnyListener>,
                                 std::shared_ptr<AnyListenerConnection> didAdd) override {
    std::lock_guard lock(mutex);
    added.push_back(std::dynamic_pointer_cast<ListenerConnection>(didAdd)->connection());
    co_return;
  }
  asio::awaitable<void> listener(std::shared_ptr<AnyListener>,
                                 std::shared_ptr<AnyListenerConnection>,
                                 std::shared_ptr<XpcConnection>) override {
    std::lock_guard lock(mutex);
    ++ended;
    co_return;
  }
  std::shared_ptr<XpcConnection> last() {
    std::lock_guard lock(mutex);
    return added.empty() ? nullptr : added.back();
  }
  std::mutex mutex;
  std::vector<std::shared_ptr<XpcConnection>> added;
  int ended = 0;
};

class ConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    listener_ =
        Listener<EchoInterface>::withMachServiceName(object_, "com.test.ipc", nullptr, server_);
    run(listener_->activate());
  }
  ScopedStateRoot root_;
  ScopedLogCapture capture_{LogLevel::debug};
  std::shared_ptr<EchoObject> object_ = std::make_shared<EchoObject>();
  std::shared_ptr<ServerSide> server_ = std::make_shared<ServerSide>();
  std::shared_ptr<Listener<EchoInterface>> listener_;
  std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
  const std::string category_ = "Connection<EchoInterface>";
};

TEST_F(ConnectionTest, LazyActivationOnceThenProxyDebugLines) {
  auto connection = Connection<EchoInterface>::withMachServiceName(
      "com.test.ipc", kConnectionPrivileged, nullptr, delegate_);
  EXPECT_TRUE(capture_.sink().texts(category_).empty());
  EXPECT_EQ(run(echo(connection, "a")), "a");
  EXPECT_EQ(run(echo(connection, "b")), "b");
  auto id = hexId(connection->id());
  auto texts = capture_.sink().texts(category_);
  EXPECT_EQ(countContaining(texts, "activating connection(" + id + ")"), 1u);
  // The operation name is a private argument (%s): the log shows it redacted.
  EXPECT_EQ(countContaining(texts, "connection(" + id + ") will provide proxy for: <private>"), 2u);
  for (const auto& record : capture_.sink().records()) {
    if (record.category != category_) continue;
    EXPECT_EQ(record.subsystem, "VelkorIPC");
    if (record.text.starts_with("activating")) {
      EXPECT_EQ(record.level, LogLevel::info);
    }
    if (record.text.find("will provide") != std::string::npos) {
      EXPECT_EQ(record.level, LogLevel::debug);
    }
  }
  EXPECT_EQ(run(connection->processIdentifier()), ::getpid());
}

TEST_F(ConnectionTest, ServerLossFailsEachCallOnceAndTellsTheDelegateOnceThenReconnects) {
  auto connection = Connection<EchoInterface>::withMachServiceName(
      "com.test.ipc", kConnectionPrivileged, nullptr, delegate_);
  EXPECT_EQ(run(echo(connection, "a")), "a");
  // Two calls in flight that the server holds.
  auto f1 =
      asio::co_spawn(platform::dispatch::globalExecutor(), hold(connection), asio::use_future);
  auto f2 =
      asio::co_spawn(platform::dispatch::globalExecutor(), hold(connection), asio::use_future);
  ASSERT_TRUE(eventually([&] { return object_->heldCount() == 2; }));
  server_->last()->killPeerForTesting();
  for (auto* f : {&f1, &f2}) {
    try {
      f->get();
      ADD_FAILURE() << "a held call succeeded";
    } catch (const platform::foundation::ErrorException& e) {
      EXPECT_EQ(e.record().code, kErrorConnectionInterrupted);
    }
  }
  ASSERT_TRUE(eventually([&] { return delegate_->count() == 1; }));
  // Every failure has been handled once both calls failed; a second report would have been
  // queued on the connection's executor before this round trip.
  run(connection->processIdentifier());
  EXPECT_EQ(delegate_->count(), 1u);
  try {
    std::rethrow_exception(delegate_->errors[0]);
  } catch (const ConnectionError& e) {
    EXPECT_EQ(e.errorCase(), ConnectionError::Case::interrupted);
    EXPECT_EQ(e.toRecord().localizedDescription(), "Connection interrupted");
  }
  EXPECT_EQ(delegate_->ids[0], connection->id());

  auto id = hexId(connection->id());
  auto texts = capture_.sink().texts(category_);
  auto interrupted = std::find(texts.begin(), texts.end(),
                               "connection(" + id + ") interrupted error (will be invalidated)");
  auto invalidated = std::find(texts.begin(), texts.end(), "invalidated connection(" + id + ")");
  ASSERT_NE(interrupted, texts.end());
  ASSERT_NE(invalidated, texts.end());
  EXPECT_LT(interrupted, invalidated);
  EXPECT_EQ(countContaining(texts, "invalidated connection("), 1u);
  EXPECT_EQ(countContaining(texts, "proxy error: "), 2u);

  EXPECT_EQ(run(echo(connection, "again")), "again");
  EXPECT_EQ(countContaining(capture_.sink().texts(category_), "activating connection("), 2u);
  EXPECT_EQ(delegate_->count(), 1u);
}

TEST_F(ConnectionTest, ExplicitInvalidateNeverTellsTheDelegate) {
  auto connection = Connection<EchoInterface>::withMachServiceName(
      "com.test.ipc", kConnectionPrivileged, nullptr, delegate_);
  EXPECT_EQ(run(echo(connection, "a")), "a");
  auto pending =
      asio::co_spawn(platform::dispatch::globalExecutor(), hold(connection), asio::use_future);
  ASSERT_TRUE(eventually([&] { return object_->heldCount() == 1; }));
  run(connection->invalidate());
  try {
    pending.get();
    ADD_FAILURE();
  } catch (const platform::foundation::ErrorException& e) {
    EXPECT_EQ(e.record().code, kErrorConnectionInvalid);
  }
  run(connection->processIdentifier());  // a report would have been queued before this
  EXPECT_EQ(delegate_->count(), 0u);
  EXPECT_EQ(run(echo(connection, "b")), "b");
  EXPECT_EQ(countContaining(capture_.sink().texts(category_), "activating connection("), 2u);
}

TEST_F(ConnectionTest, StaleFailureOfAnOldConnectionLeavesTheNewOneAlone) {
  auto connection = Connection<EchoInterface>::withMachServiceName(
      "com.test.ipc", kConnectionPrivileged, nullptr, delegate_);
  EXPECT_EQ(run(echo(connection, "a")), "a");
  auto old = connection->xpcConnectionForTesting();
  run(connection->invalidate());
  EXPECT_EQ(run(echo(connection, "b")), "b");
  auto current = connection->xpcConnectionForTesting();
  ASSERT_NE(old, current);
  // A late error through a proxy of the old connection: the caller gets it, nothing else moves.
  auto failure = std::make_shared<std::promise<int64_t>>();
  old->remoteObjectProxyWithErrorHandler(
         [failure](const ErrorRecord& e) { failure->set_value(e.code); })
      .call("echo:reply:", {Value::string("late")});
  EXPECT_EQ(failure->get_future().get(), kErrorConnectionInvalid);
  EXPECT_EQ(connection->stateForTesting(), ConnectionCore::State::active);
  EXPECT_EQ(run(echo(connection, "c")), "c");
  EXPECT_EQ(delegate_->count(), 0u);
}

asio::awaitable<std::string> resumeTwice(std::shared_ptr<Connection<EchoInterface>> connection) {
  co_return co_await connection->proxy<std::string>(
      "twice", [](RemoteProxy, Continuation<std::string> continuation) {
        EXPECT_TRUE(continuation.resume(std::string("first")));
        EXPECT_FALSE(continuation.resume(std::string("second")));
      });
}

asio::awaitable<std::string> dropContinuation(
    std::shared_ptr<Connection<EchoInterface>> connection) {
  co_return co_await connection->proxy<std::string>("dropped",
                                                    [](RemoteProxy, Continuation<std::string>) {});
}

asio::awaitable<int> asyncForm(std::shared_ptr<Connection<EchoInterface>> connection) {
  co_return co_await connection->proxy<int>(
      "async", [](RemoteProxy) -> asio::awaitable<int> { co_return 7; });
}

TEST_F(ConnectionTest, ContinuationsRunAtMostOnceAndNeverHang) {
  auto connection = Connection<EchoInterface>::withMachServiceName(
      "com.test.ipc", kConnectionPrivileged, nullptr, delegate_);
  EXPECT_EQ(run(resumeTwice(connection)), "first");
  try {
    run(dropContinuation(connection));
    ADD_FAILURE();
  } catch (const platform::foundation::ErrorException& e) {
    EXPECT_EQ(e.record().code, kErrorConnectionInvalid);
  }
  EXPECT_EQ(run(asyncForm(connection)), 7);
}

TEST_F(ConnectionTest, RequirementTheServerFailsGives4102AndSetsItOnlyOn13) {
  auto requirement = std::make_shared<CodeSigningRequirement>();
  requirement->addCodeSigningRequirement("identifier \"com.velkor.tarvo.daemon\"");
  auto connection = Connection<EchoInterface>::withMachServiceName(
      "com.test.ipc", kConnectionPrivileged, requirement, delegate_);
  try {
    run(echo(connection, "a"));
    ADD_FAILURE();
  } catch (const platform::foundation::ErrorException& e) {
    EXPECT_EQ(e.record().code, kErrorCodeSigningRequirementFailure);
  }
  auto id = hexId(connection->id());
  EXPECT_EQ(countContaining(capture_.sink().texts(category_),
                            "setting code signing requirement for connection(" + id + ")"),
            1u);
  ASSERT_TRUE(eventually([&] { return delegate_->count() == 1; }));

  // Before 13 the text is ignored: the unsigned server is used.
  platform::foundation::ScopedMacOSVersionOverride before13(false);
  auto unchecked = Connection<EchoInterface>::withMachServiceName(
      "com.test.ipc", kConnectionPrivileged, requirement);
  EXPECT_EQ(run(echo(unchecked, "x")), "x");
  EXPECT_EQ(countContaining(
                capture_.sink().texts(category_),
                "setting code signing requirement for connection(" + hexId(unchecked->id()) + ")"),
            0u);
}

TEST_F(ConnectionTest, ARequirementThatCannotBeSetRefusesTheServer) {
  auto requirement = std::make_shared<CodeSigningRequirement>();
  requirement->addUncompiledRequirementForTesting("identifier (");
  auto connection = Connection<EchoInterface>::withMachServiceName(
      "com.test.ipc", kConnectionPrivileged, requirement, delegate_);
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      run(echo(connection, "unchecked"));
      ADD_FAILURE() << "a message reached the unverified server";
    } catch (const platform::foundation::ErrorException& e) {
      EXPECT_EQ(e.record().code, kErrorConnectionInvalid);
    }
  }
  ASSERT_TRUE(eventually([&] { return delegate_->count() == 2; }));
  EXPECT_EQ(server_->last(), nullptr);
  EXPECT_EQ(countContaining(capture_.sink().texts(category_), "activating connection("), 0u);
}

TEST_F(ConnectionTest, TheEndOfAnEndpointsServerIsAnInvalidationWithItsErrorLine) {
  auto anonymous = platform::xpc::XpcListener::makeAnonymous();
  auto listener = Listener<EchoInterface>::withListener(object_, anonymous, nullptr, server_);
  run(listener->activate());
  auto connection =
      Connection<EchoInterface>::withListenerEndpoint(anonymous->endpoint(), nullptr, delegate_);
  EXPECT_EQ(run(echo(connection, "a")), "a");
  server_->last()->killPeerForTesting();
  ASSERT_TRUE(eventually([&] { return delegate_->count() == 1; }));
  try {
    std::rethrow_exception(delegate_->errors[0]);
  } catch (const ConnectionError& e) {
    EXPECT_EQ(e.errorCase(), ConnectionError::Case::invalidated);
  }
  auto id = hexId(connection->id());
  auto texts = capture_.sink().texts(category_);
  EXPECT_EQ(countContaining(texts, "connection(" + id + ") invalidated error"), 1u);
  EXPECT_EQ(countContaining(texts, "interrupted error"), 0u);
  for (const auto& r : capture_.sink().records()) {
    if (r.text == "connection(" + id + ") invalidated error") {
      EXPECT_EQ(r.level, LogLevel::error);
    }
  }
}

}  // namespace
}  // namespace brellis::ipc
