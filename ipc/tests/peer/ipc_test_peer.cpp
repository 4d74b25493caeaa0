// The peer program of the cross-process tests of the ipc library. Every mode inherits the state
// root (BRELLIS_ROOT) and uses named services in its system service directory.
//
//   ipc_test_peer serve <service>   serves EchoInterface; prints "ready"
//   ipc_test_peer broker <service>  serves EndpointBrokerInterface (keeps the last registered
//                                   endpoint); prints "ready"
//   ipc_test_peer client <broker>   asks the broker for its endpoint and connects to it; prints
//                                   "endpoint ok" or "endpoint error <code>", then answers each
//                                   line "echo <text>" of its input with "ok <reply>" or
//                                   "error <code>"
//
// Each mode ends when its input is closed.
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>

#include "ipc/connection.h"
#include "ipc/listener.h"
#include "ipc/tests/peer/peer_interfaces.h"
#include "platform/dispatch/task.h"
#include "platform/foundation/error_record.h"
#include "platform/xpc/exported_object.h"

namespace {

using namespace brellis;
using namespace brellis::platform::xpc;
using ipc::testing::EchoInterface;
using ipc::testing::EndpointBrokerInterface;

template <class T>
T block(asio::awaitable<T> op) {
  return platform::dispatch::blockOn(platform::dispatch::globalExecutor(), std::move(op));
}

void say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

[[noreturn]] void leave(int status) {
  std::fflush(stdout);
  platform::dispatch::shutdownForExit(std::chrono::seconds(1));
  ::_exit(status);
}

void waitForEndOfInput() {
  std::string line;
  while (std::getline(std::cin, line)) {
  }
}

int64_t codeOf(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const platform::foundation::ErrorException& e) {
    return e.record().code;
  } catch (...) {
    return -1;
  }
}

template <class Interface>
bool serve(const std::string& service, std::shared_ptr<ExportedObject> object) {
  auto listener = ipc::Listener<Interface>::withMachServiceName(std::move(object), service);
  block(listener->activate());
  if (auto failure = listener->listener()->activationFailure()) {
    std::fprintf(stderr, "ipc_test_peer: %s\n", failure->c_str());
    return false;
  }
  say("ready");
  waitForEndOfInput();
  return true;
}

std::shared_ptr<ExportedObject> echoObject() {
  auto object = std::make_shared<Dispatcher>();
  object->on("echo:reply:", [](std::vector<Value> args, Reply reply) {
    reply({Value::string(*args[0].asString())});
  });
  return object;
}

std::shared_ptr<ExportedObject> brokerObject() {
  struct Store {
    std::mutex mutex;
    std::optional<Endpoint> endpoint;
  };
  auto store = std::make_shared<Store>();
  auto object = std::make_shared<Dispatcher>();
  object->on("registerListenerEndpoint:reply:", [store](std::vector<Value> args, Reply reply) {
    {
      std::lock_guard lock(store->mutex);
      store->endpoint = *args[0].asEndpoint();
    }
    reply({});
  });
  object->on("listenerEndpoint:", [store](std::vector<Value>, Reply reply) {
    std::lock_guard lock(store->mutex);
    reply({store->endpoint ? Value::endpoint(*store->endpoint) : Value::null()});
  });
  return object;
}

asio::awaitable<std::optional<Endpoint>> fetchEndpoint(
    std::shared_ptr<ipc::Connection<EndpointBrokerInterface>> broker) {
  auto body = [](RemoteProxy proxy, ipc::Continuation<std::optional<Endpoint>> continuation) {
    proxy.call("listenerEndpoint:", {}, [continuation](std::vector<Value> values) {
      const Endpoint* endpoint = values[0].asEndpoint();
      continuation.resume(endpoint ? std::optional(*endpoint) : std::nullopt);
    });
  };
  auto call = broker->proxy<std::optional<Endpoint>>("brellisListenerEndpoint()", std::move(body));
  co_return co_await std::move(call);
}

asio::awaitable<std::string> echo(std::shared_ptr<ipc::Connection<EchoInterface>> connection,
                                  std::string text) {
  auto body = [text](RemoteProxy proxy, ipc::Continuation<std::string> continuation) {
    proxy.call("echo:reply:", {Value::string(text)}, [continuation](std::vector<Value> values) {
      continuation.resume(*values[0].asString());
    });
  };
  auto call = connection->proxy<std::string>("echo(_:)", std::move(body));
  co_return co_await std::move(call);
}

int client(const std::string& brokerService) {
  auto broker = ipc::Connection<EndpointBrokerInterface>::withMachServiceName(
      brokerService, kConnectionPrivileged);
  std::optional<Endpoint> endpoint;
  try {
    endpoint = block(fetchEndpoint(broker));
  } catch (...) {
    say("endpoint error " + std::to_string(codeOf(std::current_exception())));
    return 1;
  }
  if (!endpoint) {
    say("endpoint none");
    return 1;
  }
  say("endpoint ok");
  auto connection = ipc::Connection<EchoInterface>::withListenerEndpoint(*endpoint);
  std::string line;
  while (std::getline(std::cin, line)) {
    if (line.rfind("echo ", 0) != 0) continue;
    try {
      say("ok " + block(echo(connection, line.substr(5))));
    } catch (...) {
      say("error " + std::to_string(codeOf(std::current_exception())));
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s\n", ipc::testing::kPeerPatchableText);
    return 2;
  }
  std::string mode = argv[1];
  if (mode == "serve") leave(serve<EchoInterface>(argv[2], echoObject()) ? 0 : 1);
  if (mode == "broker") leave(serve<EndpointBrokerInterface>(argv[2], brokerObject()) ? 0 : 1);
  if (mode == "client") leave(client(argv[2]));
  std::fprintf(stderr, "usage: %s\n", ipc::testing::kPeerPatchableText);
  return 2;
}
