#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/xpc/interface_description.h"
#include "platform/xpc/xpc_connection.h"
#include "platform/xpc/xpc_listener.h"
#include "testing/support/temporary_state_root.h"

namespace brellis::platform::xpc::testing {

// A fresh state root (BRELLIS_ROOT) for the lifetime of a test.
using ScopedStateRoot = brellis::testing::TemporaryStateRoot;

// A value delivered once from another thread, waited for with a limit.
template <class T>
class Waiter {
 public:
  void set(T value) {
    std::lock_guard lock(mutex_);
    values_.push_back(std::move(value));
    cv_.notify_all();
  }
  std::optional<T> wait(std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    std::unique_lock lock(mutex_);
    if (!cv_.wait_for(lock, limit, [&] { return !values_.empty(); })) return std::nullopt;
    return values_.front();
  }
  size_t count() {
    std::lock_guard lock(mutex_);
    return values_.size();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<T> values_;
};

// The interface the tests serve: echo (string -> string), add (int64, int64 -> int64),
// sendFd (fd -> int64: bytes read from it), ping (one-way), pass (endpoint -> nothing).
inline std::shared_ptr<const InterfaceDescription> echoInterface() {
  static auto description = std::make_shared<const InterfaceDescription>(
      "EchoInterface",
      std::vector<MethodDescription>{
          {"echo:reply:", {arg(ValueKind::string)}, std::vector{arg(ValueKind::string)}},
          {"add:to:reply:",
           {arg(ValueKind::int64), arg(ValueKind::int64)},
           std::vector{arg(ValueKind::int64)}},
          {"readFd:reply:", {arg(ValueKind::fd)}, std::vector{arg(ValueKind::data)}},
          {"ping:", {arg(ValueKind::string)}, std::nullopt},
          {"silent:reply:", {}, std::vector{arg(ValueKind::string)}},
          {"wrongReply:reply:", {}, std::vector{arg(ValueKind::string)}},
      });
  return description;
}

}  // namespace brellis::platform::xpc::testing
