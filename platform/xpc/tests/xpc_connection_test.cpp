#include "platform/xpc/xpc_connection.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "platform/xpc/tests/xpc_test_support.h"
#include "platform/xpc/xpc_error.h"
#include "platform/xpc/xpc_listener.h"
#include "testing/support/wait_until.h"

namespace brellis::platform::xpc {
namespace {

using testing::echoInterface;
using testing::ScopedStateRoot;
using testing::Waiter;

using Outcome = std::variant<std::vector<Value>, ErrorRecord>;

// Serves the echo interface in this process; remembers accepted connections.
class EchoServer {
 public:
  explicit EchoServer(std::shared_ptr<XpcListener> listener) : listener_(std::move(listener)) {
    // Counted after the reply, which has then been sent (or swallowed); shared, because the
    // caller may see the reply and end the test before the count.
    object_->on("echo:reply:", [echoes = echoes](std::vector<Value> args, Reply reply) {
      reply({Value::string(*args[0].asString())});
      ++*echoes;
    });
    object_->on("add:to:reply:", [](std::vector<Value> args, Reply reply) {
      reply({Value::int64(*args[0].asInt64() + *args[1].asInt64())});
    });
    object_->on("readFd:reply:", [](std::vector<Value> args, Reply reply) {
      char buffer[64];
      ssize_t n = ::read((*args[0].asFd())->get(), buffer, sizeof(buffer));
      reply({Value::data(Bytes(buffer, buffer + std::max<ssize_t>(n, 0)))});
    });
    object_->on("ping:", [pings = pings](std::vector<Value> args, Reply) {
      pings->set(*args[0].asString());
    });
    object_->on("wrongReply:reply:",
                [](std::vector<Value>, Reply reply) { reply({Value::int64(1)}); });
    // "silent:reply:" has no handler: its reply is dropped.
    // The delegate holds what it touches: a connection accepted for the test's last call can
    // still be reported after the test has seen that call's reply and released the server.
    listener_->setDelegate(
        [object = object_, accepted = accepted](const std::shared_ptr<XpcConnection>& connection) {
          connection->setExportedInterface(echoInterface());
          connection->setExportedObject(object);
          connection->activate();
          accepted->set(connection);
          return true;
        });
    listener_->activate();
  }
  std::shared_ptr<XpcListener> listener_;
  std::shared_ptr<Dispatcher> object_ = std::make_shared<Dispatcher>();
  std::shared_ptr<Waiter<std::shared_ptr<XpcConnection>>> accepted =
      std::make_shared<Waiter<std::shared_ptr<XpcConnection>>>();
  std::shared_ptr<Waiter<std::string>> pings = std::make_shared<Waiter<std::string>>();
  std::shared_ptr<std::atomic<int>> echoes = std::make_shared<std::atomic<int>>(0);
};

Outcome callAndWait(const std::shared_ptr<XpcConnection>& connection, std::string selector,
                    std::vector<Value> args,
                    std::chrono::milliseconds limit = std::chrono::seconds(5)) {
  auto waiter = std::make_shared<Waiter<Outcome>>();
  auto proxy = connection->remoteObjectProxyWithErrorHandler(
      [waiter](const ErrorRecord& error) { waiter->set(error); });
  proxy.call(selector, std::move(args), [waiter](std::vector<Value> v) { waiter->set(v); });
  auto outcome = waiter->wait(limit);
  EXPECT_TRUE(outcome) << selector << " never ended";
  return outcome.value_or(xpcError(0));
}

// Checking a signature reads the whole (unsigned, large) test executable: seconds on a loaded
// machine or under a sanitizer. The bound of a wait for that outcome, not a delay.
constexpr std::chrono::milliseconds kSigningCheck = std::chrono::seconds(60);

std::shared_ptr<XpcConnection> clientFor(const std::string& name) {
  auto connection = XpcConnection::makeWithMachServiceName(name, kConnectionPrivileged);
  connection->setRemoteObjectInterface(echoInterface());
  return connection;
}

int64_t errorCode(const Outcome& outcome) {
  auto* error = std::get_if<ErrorRecord>(&outcome);
  return error ? error->code : 0;
}

class XpcConnectionTest : public ::testing::Test {
 protected:
  ScopedStateRoot root_;
};

TEST_F(XpcConnectionTest, NamedServiceCallsReplyWithTypedValuesAndPeerCredentials) {
  EchoServer server(XpcListener::makeWithMachServiceName("com.test.echo"));
  ASSERT_FALSE(server.listener_->activationFailure());
  auto client = clientFor("com.test.echo");
  client->activate();
  auto outcome = callAndWait(client, "echo:reply:", {Value::string("hi")});
  ASSERT_TRUE(std::holds_alternative<std::vector<Value>>(outcome));
  EXPECT_EQ(std::get<0>(outcome).at(0), Value::string("hi"));
  EXPECT_EQ(client->processIdentifier(), ::getpid());
  EXPECT_EQ(client->effectiveUserIdentifier(), ::geteuid());
  auto accepted = server.accepted->wait();
  ASSERT_TRUE(accepted);
  EXPECT_EQ((*accepted)->processIdentifier(), ::getpid());
  ASSERT_TRUE((*accepted)->peerCredentials()->guest);

  // A descriptor travels and is usable on the far side.
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  ASSERT_EQ(::write(pipeFds[1], "abc", 3), 3);
  ::close(pipeFds[1]);
  auto read = callAndWait(client, "readFd:reply:", {Value::fd(makeSharedFd(UniqueFd(pipeFds[0])))});
  ASSERT_TRUE(std::holds_alternative<std::vector<Value>>(read));
  EXPECT_EQ(*std::get<0>(read).at(0).asData(), (Bytes{'a', 'b', 'c'}));

  client->remoteObjectProxyWithErrorHandler([](const ErrorRecord&) {})
      .call("ping:", {Value::string("one-way")});
  EXPECT_EQ(server.pings->wait(), "one-way");
}

TEST_F(XpcConnectionTest, WrongCallerArgumentsThrowBeforeAnythingIsSent) {
  auto client = clientFor("com.test.none");
  auto proxy = client->remoteObjectProxyWithErrorHandler([](const ErrorRecord&) {});
  EXPECT_THROW(proxy.call("echo:reply:", {Value::int64(1)}), ProxyUsageError);
  EXPECT_THROW(proxy.call("nope:", {}), ProxyUsageError);
  EXPECT_THROW(proxy.call("echo:reply:", {}), ProxyUsageError);
}

TEST_F(XpcConnectionTest, MissingServiceInvalidatesWithPendingErrorAfterHandler) {
  auto client = clientFor("com.test.absent");
  std::vector<std::string> order;
  std::mutex mutex;
  Waiter<bool> invalidated;
  client->setInvalidationHandler([&] {
    std::lock_guard lock(mutex);
    order.push_back("handler");
    invalidated.set(true);
  });
  client->activate();
  auto waiter = std::make_shared<Waiter<int64_t>>();
  client
      ->remoteObjectProxyWithErrorHandler([&, waiter](const ErrorRecord& e) {
        std::lock_guard lock(mutex);
        order.push_back("error");
        waiter->set(e.code);
      })
      .call("echo:reply:", {Value::string("x")}, [](std::vector<Value>) { FAIL(); });
  EXPECT_EQ(waiter->wait(), kErrorConnectionInvalid);
  ASSERT_TRUE(invalidated.wait());
  // Later messages fail at once, the same way.
  EXPECT_EQ(errorCode(callAndWait(client, "echo:reply:", {Value::string("y")})),
            kErrorConnectionInvalid);
}

TEST_F(XpcConnectionTest, ReplyFaultsEndEachCallExactlyOnce) {
  EchoServer server(XpcListener::makeWithMachServiceName("com.test.faults"));
  auto client = clientFor("com.test.faults");
  client->activate();
  ASSERT_EQ(
      std::get<0>(callAndWait(client, "add:to:reply:", {Value::int64(2), Value::int64(3)})).at(0),
      Value::int64(5));
  auto serverSide = *server.accepted->wait();

  // A dropped reply block: reply invalid.
  EXPECT_EQ(errorCode(callAndWait(client, "silent:reply:", {})), kErrorConnectionReplyInvalid);
  // A reply of the wrong type: reply invalid, and the connection goes on.
  EXPECT_EQ(errorCode(callAndWait(client, "wrongReply:reply:", {})), kErrorConnectionReplyInvalid);
  // A duplicated reply is delivered once; the copy is ignored.
  serverSide->duplicateNextRepliesForTesting(1);
  auto count = std::make_shared<std::atomic<int>>(0);
  auto done = std::make_shared<Waiter<bool>>();
  client->remoteObjectProxyWithErrorHandler([](const ErrorRecord&) { ADD_FAILURE(); })
      .call("echo:reply:", {Value::string("dup")}, [count, done](std::vector<Value>) {
        ++*count;
        done->set(true);
      });
  ASSERT_TRUE(done->wait());
  EXPECT_EQ(std::get<0>(callAndWait(client, "echo:reply:", {Value::string("after")})).at(0),
            Value::string("after"));
  EXPECT_EQ(count->load(), 1);
}

TEST_F(XpcConnectionTest, ExplicitInvalidateFailsPendingAndLaterCalls) {
  EchoServer server(XpcListener::makeWithMachServiceName("com.test.inv"));
  auto client = clientFor("com.test.inv");
  client->activate();
  auto serverSide =
      (callAndWait(client, "echo:reply:", {Value::string("x")}), *server.accepted->wait());
  serverSide->dropNextRepliesForTesting(1);
  auto pending = std::make_shared<Waiter<int64_t>>();
  client
      ->remoteObjectProxyWithErrorHandler([pending](const ErrorRecord& e) { pending->set(e.code); })
      .call("echo:reply:", {Value::string("lost")}, [](std::vector<Value>) { ADD_FAILURE(); });
  // Wait until the server has swallowed the reply, then end the connection.
  ASSERT_TRUE(brellis::testing::waitUntil([&] { return *server.echoes == 2; }));
  Waiter<bool> handler;
  client->setInvalidationHandler([&] { handler.set(true); });
  client->invalidate();
  EXPECT_EQ(pending->wait(), kErrorConnectionInvalid);
  EXPECT_TRUE(handler.wait());
  EXPECT_EQ(errorCode(callAndWait(client, "echo:reply:", {Value::string("y")})),
            kErrorConnectionInvalid);
}

TEST_F(XpcConnectionTest, LostNamedServiceInterruptsThenReconnects) {
  auto server = std::make_unique<EchoServer>(XpcListener::makeWithMachServiceName("com.test.int"));
  auto client = clientFor("com.test.int");
  Waiter<bool> interrupted;
  client->setInterruptionHandler([&] { interrupted.set(true); });
  client->activate();
  callAndWait(client, "echo:reply:", {Value::string("x")});
  auto serverSide = *server->accepted->wait();
  serverSide->dropNextRepliesForTesting(1);
  auto pending = std::make_shared<Waiter<int64_t>>();
  client
      ->remoteObjectProxyWithErrorHandler([pending](const ErrorRecord& e) { pending->set(e.code); })
      .call("echo:reply:", {Value::string("lost")});
  ASSERT_TRUE(brellis::testing::waitUntil([&] { return *server->echoes == 2; }));
  serverSide->killPeerForTesting();
  EXPECT_EQ(pending->wait(), kErrorConnectionInterrupted);
  EXPECT_TRUE(interrupted.wait());
  EXPECT_FALSE(client->isInvalidated());
  // The next message connects again.
  auto again = callAndWait(client, "echo:reply:", {Value::string("again")});
  ASSERT_TRUE(std::holds_alternative<std::vector<Value>>(again));
  client->invalidate();
}

TEST_F(XpcConnectionTest, CallOfAnotherInterfaceDropsTheConnection) {
  EchoServer server(XpcListener::makeWithMachServiceName("com.test.mismatch"));
  auto other = std::make_shared<const InterfaceDescription>(
      "Other", std::vector<MethodDescription>{
                   {"echo:reply:", {arg(ValueKind::int64)}, std::vector{arg(ValueKind::string)}}});
  auto client = XpcConnection::makeWithMachServiceName("com.test.mismatch", kConnectionPrivileged);
  client->setRemoteObjectInterface(other);
  client->activate();
  auto outcome = callAndWait(client, "echo:reply:", {Value::int64(1)});
  EXPECT_EQ(errorCode(outcome), kErrorConnectionInterrupted);
  auto serverSide = server.accepted->wait();
  ASSERT_TRUE(serverSide);
  EXPECT_TRUE(brellis::testing::waitUntil([&] { return (*serverSide)->isInvalidated(); }));
  client->invalidate();  // an interrupted connection lives until invalidated
}

TEST_F(XpcConnectionTest, GarbageFromARawClientIsDroppedWithoutHarm) {
  EchoServer server(XpcListener::makeWithMachServiceName("com.test.raw"));
  auto path = server.listener_->socketPath();
  ASSERT_TRUE(path);
  for (std::string garbage :
       {std::string("\xff\xff\xff\xff\x02\x01\x00\x00", 8),
        std::string("\x00\x00\x00\x00\x09\x01\x00\x00", 8), std::string(5000, 'A')}) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path->c_str());
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    (void)::send(fd, garbage.data(), garbage.size(), MSG_NOSIGNAL);
    char buffer[16];
    // The listener closes the connection: read ends (no hello is ever sent to it).
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    EXPECT_LE(::recv(fd, buffer, sizeof(buffer), 0), 0);
    ::close(fd);
  }
  // The listener still serves well-behaved clients.
  auto client = clientFor("com.test.raw");
  client->activate();
  EXPECT_TRUE(std::holds_alternative<std::vector<Value>>(
      callAndWait(client, "echo:reply:", {Value::string("ok")})));
}

TEST_F(XpcConnectionTest, AnonymousEndpointTravelsAndSurvivesListenerInvalidation) {
  auto anonymous = XpcListener::makeAnonymous();
  EchoServer server(anonymous);
  auto endpoint = anonymous->endpoint();
  ASSERT_TRUE(endpoint.valid());

  // The endpoint travels inside a message to a named service and comes back.
  auto carrierInterface = std::make_shared<const InterfaceDescription>(
      "Carrier",
      std::vector<MethodDescription>{
          {"bounce:reply:", {arg(ValueKind::endpoint)}, std::vector{arg(ValueKind::endpoint)}}});
  auto carrier = XpcListener::makeWithMachServiceName("com.test.carrier");
  auto bouncer = std::make_shared<Dispatcher>();
  bouncer->on("bounce:reply:", [](std::vector<Value> args, Reply reply) { reply(args); });
  carrier->setDelegate([&](const std::shared_ptr<XpcConnection>& c) {
    c->setExportedInterface(carrierInterface);
    c->setExportedObject(bouncer);
    c->activate();
    return true;
  });
  carrier->activate();
  auto carrierClient =
      XpcConnection::makeWithMachServiceName("com.test.carrier", kConnectionPrivileged);
  carrierClient->setRemoteObjectInterface(carrierInterface);
  carrierClient->activate();
  auto bounced = callAndWait(carrierClient, "bounce:reply:", {Value::endpoint(endpoint)});
  ASSERT_TRUE(std::holds_alternative<std::vector<Value>>(bounced))
      << std::get<ErrorRecord>(bounced).description();
  Endpoint received = *std::get<0>(bounced).at(0).asEndpoint();
  EXPECT_FALSE(received == endpoint);  // a new descriptor, the same listener

  auto client = XpcConnection::makeWithEndpoint(received);
  client->setRemoteObjectInterface(echoInterface());
  client->activate();
  EXPECT_EQ(std::get<0>(callAndWait(client, "echo:reply:", {Value::string("via")})).at(0),
            Value::string("via"));

  anonymous->invalidate();
  // The accepted connection keeps working; a new client fails.
  EXPECT_EQ(std::get<0>(callAndWait(client, "echo:reply:", {Value::string("still")})).at(0),
            Value::string("still"));
  auto late = XpcConnection::makeWithEndpoint(received);
  late->setRemoteObjectInterface(echoInterface());
  late->activate();
  EXPECT_EQ(errorCode(callAndWait(late, "echo:reply:", {Value::string("late")})),
            kErrorConnectionInvalid);
}

TEST_F(XpcConnectionTest, UnsignedServerFailsTheRequirementWith4102) {
  EchoServer server(XpcListener::makeWithMachServiceName("com.test.signed"));
  auto client = clientFor("com.test.signed");
  client->setCodeSigningRequirement("identifier \"com.velkor.tarvo.daemon\"");
  Waiter<bool> invalidated;
  client->setInvalidationHandler([&] { invalidated.set(true); });
  client->activate();
  EXPECT_EQ(errorCode(callAndWait(client, "echo:reply:", {Value::string("x")}, kSigningCheck)),
            kErrorCodeSigningRequirementFailure);
  EXPECT_TRUE(invalidated.wait());
  EXPECT_EQ(errorCode(callAndWait(client, "echo:reply:", {Value::string("y")})),
            kErrorCodeSigningRequirementFailure);
  EXPECT_THROW(client->setCodeSigningRequirement("identifier ("), foundation::ErrorException);
}

TEST_F(XpcConnectionTest, ListenerRequirementRefusesUnsignedClients) {
  auto listener = XpcListener::makeWithMachServiceName("com.test.guarded");
  listener->setConnectionCodeSigningRequirement("identifier \"com.velkor.tarvo.daemon\"");
  EchoServer server(listener);
  auto client = clientFor("com.test.guarded");
  client->activate();
  EXPECT_EQ(errorCode(callAndWait(client, "echo:reply:", {Value::string("x")}, kSigningCheck)),
            kErrorConnectionInvalid);
  // The listener decides before it closes the socket the client saw closing.
  EXPECT_EQ(server.accepted->count(), 0u);
}

TEST_F(XpcConnectionTest, NamedListenerBindingRules) {
  auto first = XpcListener::makeWithMachServiceName("com.test.twice");
  first->activate();
  ASSERT_FALSE(first->activationFailure());
  auto second = XpcListener::makeWithMachServiceName("com.test.twice");
  second->activate();
  EXPECT_TRUE(second->activationFailure());
  first->invalidate();
  EXPECT_TRUE(
      brellis::testing::waitUntil([&] { return !std::filesystem::exists(*first->socketPath()); }));
  for (const char* bad : {"", "..", "a/b", "x\ny"}) {
    auto listener = XpcListener::makeWithMachServiceName(bad);
    listener->activate();
    EXPECT_TRUE(listener->activationFailure()) << bad;
  }
}

// Cross-process: the server process dies with a call in flight.
TEST_F(XpcConnectionTest, ServerProcessDeathInterruptsPendingCalls) {
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  pid_t child = ::fork();
  if (child == 0) {
    ::dup2(out[1], 1);
    ::execl(BRELLIS_XPC_PEER, BRELLIS_XPC_PEER, "com.test.peer", nullptr);
    ::_exit(127);
  }
  ::close(out[1]);
  char ready[6] = {};
  ASSERT_EQ(::read(out[0], ready, 6), 6);
  auto client = clientFor("com.test.peer");
  Waiter<bool> interrupted;
  client->setInterruptionHandler([&] { interrupted.set(true); });
  client->activate();
  ASSERT_TRUE(std::holds_alternative<std::vector<Value>>(
      callAndWait(client, "echo:reply:", {Value::string("x")})));
  EXPECT_EQ(client->processIdentifier(), child);
  auto pending = std::make_shared<Waiter<int64_t>>();
  client
      ->remoteObjectProxyWithErrorHandler([pending](const ErrorRecord& e) { pending->set(e.code); })
      .call("silent:reply:", {}, [](std::vector<Value>) { ADD_FAILURE(); });
  char held[5] = {};
  ASSERT_EQ(::read(out[0], held, 5), 5);  // the server holds the call's reply
  ::close(out[0]);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  EXPECT_EQ(pending->wait(), kErrorConnectionInterrupted);
  EXPECT_TRUE(interrupted.wait());
  EXPECT_EQ(pending->count(), 1u);
  client->invalidate();  // an interrupted connection lives until invalidated
}

}  // namespace
}  // namespace brellis::platform::xpc
