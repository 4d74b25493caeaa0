#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ipc/connection.h"
#include "ipc/listener.h"
#include "ipc/tests/peer/peer_interfaces.h"
#include "platform/dispatch/task.h"
#include "platform/os_log/logger.h"
#include "platform/xpc/exported_object.h"
#include "testing/support/temporary_state_root.h"
#include "testing/support/wait_until.h"

namespace brellis::ipc::testing {

using namespace platform::xpc;

// A fresh state root (BRELLIS_ROOT) for the lifetime of a test.
using ScopedStateRoot = brellis::testing::TemporaryStateRoot;

// Echoes, and keeps "hold:reply:" replies until released.
class EchoObject : public Dispatcher {
 public:
  EchoObject() {
    on("echo:reply:",
       [](std::vector<Value> args, Reply reply) { reply({Value::string(*args[0].asString())}); });
    on("hold:reply:", [this](std::vector<Value>, Reply reply) {
      std::lock_guard lock(mutex_);
      held_.push_back(reply);
    });
  }
  size_t heldCount() {
    std::lock_guard lock(mutex_);
    return held_.size();
  }

 private:
  std::mutex mutex_;
  std::vector<Reply> held_;
};

template <class Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
  return brellis::testing::waitUntil(predicate, limit, std::chrono::milliseconds(5));
}

template <class T>
T run(asio::awaitable<T> op) {
  return platform::dispatch::blockOn(platform::dispatch::globalExecutor(), std::move(op));
}

inline asio::awaitable<std::string> echo(std::shared_ptr<Connection<EchoInterface>> connection,
                                         std::string text) {
  auto body = [text](RemoteProxy proxy, Continuation<std::string> continuation) {
    proxy.call("echo:reply:", {Value::string(text)},
               [continuation](std::vector<Value> v) { continuation.resume(*v[0].asString()); });
  };
  auto call = connection->proxy<std::string>("echo(_:)", std::move(body));
  co_return co_await std::move(call);
}

inline asio::awaitable<std::string> hold(std::shared_ptr<Connection<EchoInterface>> connection) {
  co_return co_await connection->proxy<std::string>(
      "hold()", [](RemoteProxy proxy, Continuation<std::string> continuation) {
        proxy.call("hold:reply:", {},
                   [continuation](std::vector<Value> v) { continuation.resume(*v[0].asString()); });
      });
}

// Hands `endpoint` to a broker (the peer program's "broker" mode), which gives it to clients.
inline asio::awaitable<void> registerEndpoint(
    std::shared_ptr<Connection<EndpointBrokerInterface>> broker, Endpoint endpoint) {
  auto body = [endpoint](RemoteProxy proxy, Continuation<void> continuation) {
    proxy.call("registerListenerEndpoint:reply:", {Value::endpoint(endpoint)},
               [continuation](std::vector<Value>) { continuation.resume(); });
  };
  auto call = broker->proxy<void>("registerBrellisListenerEndpoint(_:)", std::move(body));
  co_await std::move(call);
}

inline int64_t errorCodeOf(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const platform::foundation::ErrorException& e) {
    return e.record().code;
  } catch (...) {
    return -1;
  }
}

inline size_t countContaining(const std::vector<std::string>& texts, const std::string& part) {
  size_t n = 0;
  for (const auto& t : texts) n += t.find(part) != std::string::npos;
  return n;
}

inline std::string hexId(uint64_t id) {
  char buffer[32];
  std::snprintf(buffer, sizeof(buffer), "0x%lx", static_cast<unsigned long>(id));
  return buffer;
}

}  // namespace brellis::ipc::testing
