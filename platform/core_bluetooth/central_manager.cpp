#include "platform/core_bluetooth/central_manager.h"

#include <asio/post.hpp>

#include "platform/dispatch/main_loop.h"

namespace brellis::platform::core_bluetooth {

CentralManager::CentralManager(std::weak_ptr<CentralManagerDelegate> delegate,
                               asio::any_io_executor queue, std::shared_ptr<RadioBackend> radio)
    : delegate_(std::move(delegate)),
      queue_(std::move(queue)),
      radio_(radio ? std::move(radio) : systemRadio()) {}

std::shared_ptr<CentralManager> CentralManager::create(
    std::weak_ptr<CentralManagerDelegate> delegate, std::optional<asio::any_io_executor> queue,
    std::shared_ptr<RadioBackend> radio) {
  auto executor = queue ? std::move(*queue) : dispatch::MainLoop::shared().executor();
  std::shared_ptr<CentralManager> manager(
      new CentralManager(std::move(delegate), std::move(executor), std::move(radio)));
  // Read, then observe: the radio looks again once an observer is registered, so a change
  // between the two is still reported.
  {
    std::lock_guard lock(manager->mutex_);
    manager->status_ = manager->radio_->status();
    manager->postStateUpdate();
  }
  std::weak_ptr<CentralManager> weak = manager;
  manager->observation_ = manager->radio_->observe([weak] {
    if (auto self = weak.lock()) self->radioChanged();
  });
  return manager;
}

ManagerState CentralManager::state() const {
  std::lock_guard lock(mutex_);
  return status_.state;
}

ManagerAuthorization CentralManager::authorization() const {
  std::lock_guard lock(mutex_);
  return status_.authorization;
}

void CentralManager::radioChanged() {
  auto status = radio_->status();
  std::lock_guard lock(mutex_);
  if (status == status_) return;
  status_ = status;
  postStateUpdate();
}

void CentralManager::postStateUpdate() {
  asio::post(queue_, [weak = weak_from_this(), delegate = delegate_] {
    auto self = weak.lock();
    auto target = delegate.lock();
    if (self && target) target->centralManagerDidUpdateState(*self);
  });
}

}  // namespace brellis::platform::core_bluetooth
