#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "login_app/unlock_data_operations.h"
#include "testing/support/wait_until.h"
#include "token_host/unlock_data.h"

namespace brellis::login_app::test {

// Starts (once per process) a thread that plays the main queue.
void ensureMainQueue();
// Runs `work` on the main queue and waits for it.
void onMain(const std::function<void()>& work);
// Polls `condition` every few milliseconds until it holds or `timeout` ends.
inline bool waitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  return brellis::testing::waitUntil(condition, timeout, std::chrono::milliseconds(5));
}

token_host::UnlockData sampleUnlockData(platform::foundation::Bytes certificate);

// A daemon that answers from memory; an absent answer raises a daemon error.
class FakeUnlockDaemon : public UnlockDaemon {
 public:
  void setUnlockData(std::optional<platform::foundation::Bytes> archive);
  void setUnlockStatusArchive(std::optional<platform::foundation::Bytes> archive);
  void setFailSend(bool fail);
  std::vector<bool> sentStatuses() const;

  asio::awaitable<platform::foundation::Bytes> unlockData() override;
  asio::awaitable<platform::foundation::Bytes> unlockData(std::string forAccount) override;
  asio::awaitable<platform::foundation::Bytes> unlockStatus() override;
  asio::awaitable<void> setUnlockStatus(platform::foundation::Bytes status) override;

 private:
  mutable std::mutex mutex_;
  std::optional<platform::foundation::Bytes> data_;
  std::optional<platform::foundation::Bytes> status_;
  bool failSend_ = false;
  std::vector<bool> sent_;
};

// Installs a fake as the process's daemon for the object's lifetime.
class ScopedFakeDaemon {
 public:
  ScopedFakeDaemon();
  ~ScopedFakeDaemon();
  FakeUnlockDaemon& operator*() { return *fake_; }
  FakeUnlockDaemon* operator->() { return fake_.get(); }

 private:
  std::shared_ptr<FakeUnlockDaemon> fake_;
};

}  // namespace brellis::login_app::test
