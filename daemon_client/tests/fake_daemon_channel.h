#pragma once

#include <asio/awaitable.hpp>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "daemon_client/tarvo_daemon_connection.h"

namespace brellis::daemon_client {

// A channel whose reply is decided by a test: `respond` receives the selector and arguments and
// returns the reply values or throws the XPC layer's error.
class FakeDaemonChannel : public DaemonChannel {
 public:
  using Respond = std::function<std::vector<platform::xpc::Value>(
      const std::string& selector, const std::vector<platform::xpc::Value>& arguments)>;

  explicit FakeDaemonChannel(Respond respond) : respond_(std::move(respond)) {}

  asio::awaitable<std::vector<platform::xpc::Value>> send(
      std::string, std::string selector, std::vector<platform::xpc::Value> arguments) override {
    {
      std::lock_guard lock(mutex_);
      selectors_.push_back(selector);
    }
    co_return respond_(selector, arguments);
  }

  std::vector<std::string> selectors() const {
    std::lock_guard lock(mutex_);
    return selectors_;
  }

 private:
  Respond respond_;
  mutable std::mutex mutex_;
  std::vector<std::string> selectors_;
};

}  // namespace brellis::daemon_client
