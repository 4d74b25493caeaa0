#pragma once

#include <asio/associated_cancellation_slot.hpp>
#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>
#include <memory>
#include <tuple>
#include <type_traits>
#include <utility>

#include "platform/dispatch/once_callback.h"

namespace brellis::platform::dispatch {

template <class Signature>
struct CallbackBridge;

// The one way to await a callback. `start` is called at once with a OnceCallback of
// `Signature` (and the awaiting operation's cancellation slot, which it may ignore); the awaiting
// coroutine resumes, on its own executor (never inline in the callback), with the arguments of
// the callback's one run. Destroyed without running, the callback runs with `dropped` (the
// layer's error), so no coroutine waits for ever on a lost callback.
//
// The awaitable's result follows asio: void(std::exception_ptr, T) gives T or throws,
// void(std::error_code) throws std::system_error on an error, void(T) gives T.
//
//   auto state = co_await awaitCallback<void(ManagerState)>(
//       [&](OnceCallback<void(ManagerState)> done, auto) { ask(std::move(done)); },
//       std::make_tuple(ManagerState::unknown));
template <class Signature, class Start>
auto awaitCallback(Start start, typename CallbackBridge<Signature>::Dropped dropped) {
  return CallbackBridge<Signature>::run(std::move(start), std::move(dropped));
}

template <class... Args>
struct CallbackBridge<void(Args...)> {
  using Callback = OnceCallback<void(Args...)>;
  using Dropped = std::tuple<std::decay_t<Args>...>;

  template <class Start>
  static auto run(Start start, Dropped dropped) {
    return asio::async_initiate<const asio::use_awaitable_t<>&, void(Args...)>(
        [start = std::move(start), dropped = std::move(dropped)](auto handler) mutable {
          auto slot = asio::get_associated_cancellation_slot(handler);
          auto executor = asio::get_associated_executor(handler);
          auto shared = std::make_shared<decltype(handler)>(std::move(handler));
          Callback callback(
              [shared, executor](Args... args) {
                asio::post(executor, [shared, values = Dropped(std::move(args)...)]() mutable {
                  std::apply(std::move(*shared), std::move(values));
                });
              },
              std::move(dropped));
          start(std::move(callback), slot);
        },
        asio::use_awaitable);
  }
};

}  // namespace brellis::platform::dispatch
