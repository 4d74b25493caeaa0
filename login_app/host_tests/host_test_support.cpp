#include "login_app/host_tests/host_test_support.h"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <future>
#include <thread>

#include "connectivity/pairing_identity.h"
#include "platform/app_kit/main_queue.h"
#include "platform/foundation/error_record.h"
#include "token_host/unlock_archive.h"

namespace brellis::login_app::test {

using platform::foundation::Bytes;

void ensureMainQueue() {
  static asio::io_context* context = [] {
    auto* made = new asio::io_context();  // lives until exit: tasks may still post to it
    static auto* guard =
        new asio::executor_work_guard<asio::io_context::executor_type>(made->get_executor());
    (void)guard;
    std::thread([made] { made->run(); }).detach();
    platform::app_kit::MainQueue::setExecutorForTesting(made->get_executor());
    return made;
  }();
  (void)context;
}

void onMain(const std::function<void()>& work) {
  ensureMainQueue();
  std::promise<void> done;
  platform::app_kit::MainQueue::async([&] {
    work();
    done.set_value();
  });
  done.get_future().get();
}

token_host::UnlockData sampleUnlockData(Bytes certificate) {
  return token_host::UnlockData(
      std::move(certificate), false, "5B0F7F2E-8C1D-4C33-9D7E-0A1B2C3D4E5F", "BrellisDriver",
      {connectivity::PairingIdentity("PHONE-1", "Phone", Bytes{9, 8, 7}, Bytes{1})},
      connectivity_protocol::UnlockVersion::unlock_1_2_0);
}

namespace {
[[noreturn]] void daemonError() {
  throw platform::foundation::ErrorException(
      platform::foundation::ErrorRecord{"TestDaemonError", 3, {}});
}
}  // namespace

void FakeUnlockDaemon::setUnlockData(std::optional<Bytes> archive) {
  std::lock_guard lock(mutex_);
  data_ = std::move(archive);
}
void FakeUnlockDaemon::setUnlockStatusArchive(std::optional<Bytes> archive) {
  std::lock_guard lock(mutex_);
  status_ = std::move(archive);
}
void FakeUnlockDaemon::setFailSend(bool fail) {
  std::lock_guard lock(mutex_);
  failSend_ = fail;
}
std::vector<bool> FakeUnlockDaemon::sentStatuses() const {
  std::lock_guard lock(mutex_);
  return sent_;
}

asio::awaitable<Bytes> FakeUnlockDaemon::unlockData() {
  std::optional<Bytes> data;
  {
    std::lock_guard lock(mutex_);
    data = data_;
  }
  if (!data) daemonError();
  co_return *data;
}

asio::awaitable<Bytes> FakeUnlockDaemon::unlockData(std::string) { return unlockData(); }

asio::awaitable<Bytes> FakeUnlockDaemon::unlockStatus() {
  std::optional<Bytes> status;
  {
    std::lock_guard lock(mutex_);
    status = status_;
  }
  if (!status) daemonError();
  co_return *status;
}

asio::awaitable<void> FakeUnlockDaemon::setUnlockStatus(Bytes status) {
  bool fail;
  {
    std::lock_guard lock(mutex_);
    fail = failSend_;
    sent_.push_back(decodeUnlockStatusArchive(status).isEnabled);
  }
  if (fail) daemonError();
  co_return;
}

ScopedFakeDaemon::ScopedFakeDaemon() : fake_(std::make_shared<FakeUnlockDaemon>()) {
  UnlockDaemon::setSharedForTesting(fake_);
}
ScopedFakeDaemon::~ScopedFakeDaemon() { UnlockDaemon::setSharedForTesting(nullptr); }

}  // namespace brellis::login_app::test
