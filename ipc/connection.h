#pragma once

#include <asio/async_result.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>
#include <concepts>
#include <memory>
#include <string>
#include <type_traits>

#include "ipc/connection_core.h"
#include "ipc/continuation.h"
#include "ipc/xpc_interface.h"
#include "platform/dispatch/await_callback.h"
#include "platform/dispatch/task.h"

namespace brellis::ipc {

// The client end of an XPC interface: one underlying XPC connection at a time, made lazily
// from a stored recipe and remade after every invalidation, so one Connection serves for the
// life of the process. Nothing contacts the server and nothing is logged before the first
// proxy call. Calls are awaitable; see ConnectionCore for the executor and the failure rules.
template <XpcInterface Interface>
class Connection : public ConnectionCore {
 public:
  using Error = ConnectionError;
  using Proxy = platform::xpc::RemoteProxy;

  // init(interface:serviceName:codeSigningRequirement:delegate:)
  static std::shared_ptr<Connection> withServiceName(
      std::string serviceName,
      std::shared_ptr<CodeSigningRequirement> codeSigningRequirement = nullptr,
      std::weak_ptr<ConnectionDelegate> delegate = {}) {
    return std::shared_ptr<Connection>(new Connection(ServiceName{std::move(serviceName)},
                                                      std::move(codeSigningRequirement),
                                                      std::move(delegate)));
  }
  // init(interface:machServiceName:options:codeSigningRequirement:delegate:)
  static std::shared_ptr<Connection> withMachServiceName(
      std::string machServiceName, uint64_t options,
      std::shared_ptr<CodeSigningRequirement> codeSigningRequirement = nullptr,
      std::weak_ptr<ConnectionDelegate> delegate = {}) {
    return std::shared_ptr<Connection>(
        new Connection(MachServiceName{std::move(machServiceName), options},
                       std::move(codeSigningRequirement), std::move(delegate)));
  }
  // init(interface:listenerEndpoint:codeSigningRequirement:delegate:)
  static std::shared_ptr<Connection> withListenerEndpoint(
      platform::xpc::Endpoint endpoint,
      std::shared_ptr<CodeSigningRequirement> codeSigningRequirement = nullptr,
      std::weak_ptr<ConnectionDelegate> delegate = {}) {
    return std::shared_ptr<Connection>(new Connection(ListenerEndpoint{std::move(endpoint)},
                                                      std::move(codeSigningRequirement),
                                                      std::move(delegate)));
  }

  // proxy(function:returning:_:), continuation form. `body` receives the proxy and a
  // continuation; it is expected to call one method of the proxy and resume the continuation
  // from the reply block. Returns the value, or raises the error, the continuation is resumed
  // with; a failed message raises the platform's error (foundation::ErrorException). An
  // exception thrown by `body` resumes the continuation with it, if nothing has yet.
  template <class R, class Body>
  requires std::invocable<Body&, Proxy, Continuation<R>> asio::awaitable<R> proxy(
      std::string function, Body body) {
    auto self = std::static_pointer_cast<Connection>(this->shared_from_this());
    co_return co_await platform::dispatch::runOn(
        executor(), proxyOnExecutor<R, Body>(self, std::move(function), std::move(body)));
  }

  // proxy(function:returning:_:), asynchronous form: `body` is awaited in a new task on the
  // executor; the call completes with whichever comes first of its outcome and a proxy error.
  template <class R, class Body>
  requires std::invocable<Body&, Proxy> &&
      std::same_as<std::invoke_result_t<Body&, Proxy>, asio::awaitable<R>>
          asio::awaitable<R> proxy(std::string function, Body body) {
    auto self = std::static_pointer_cast<Connection>(this->shared_from_this());
    co_return co_await platform::dispatch::runOn(
        executor(), proxyAsyncOnExecutor<R, Body>(self, std::move(function), std::move(body)));
  }

 private:
  template <class Factory>
  Connection(Factory factory, std::shared_ptr<CodeSigningRequirement> requirement,
             std::weak_ptr<ConnectionDelegate> delegate)
      : ConnectionCore(Interface::description(), std::move(factory), std::move(requirement),
                       std::move(delegate)) {}

  template <class R>
  using Stored = typename Continuation<R>::Stored;

  // Suspends until `start` has been handed a continuation and that continuation is resumed.
  // The coroutine resumes on the executor.
  template <class R, class Start>
  static asio::awaitable<std::optional<Stored<R>>> suspend(Start start) {
    using Signature = void(std::exception_ptr, std::optional<Stored<R>>);
    return platform::dispatch::awaitCallback<Signature>(
        [start = std::move(start)](platform::dispatch::OnceCallback<Signature> resume,
                                   auto) mutable {
          // A continuation dropped unresumed resumes with its own invalid-connection error.
          start(Continuation<R>([resume](std::exception_ptr error, std::optional<Stored<R>> value) {
            resume(std::move(error), std::move(value));
          }));
        },
        {Continuation<R>::droppedError(), std::nullopt});
  }

  template <class R>
  static R unwrap(std::optional<Stored<R>> value) {
    if constexpr (!std::is_void_v<R>) return std::move(*value);
  }

  template <class R, class Body>
  static asio::awaitable<R> proxyOnExecutor(std::shared_ptr<Connection> self, std::string function,
                                            Body body) {
    // (g++ 12: the capturing lambda and the co_await stay in separate statements.)
    auto start = [&self, &function, &body](Continuation<R> continuation) {
      auto proxy = self->activateAndMakeProxy(
          [continuation](std::exception_ptr error) { continuation.resume(std::move(error)); });
      self->logWillProvideProxy(function);
      try {
        body(proxy, continuation);
      } catch (...) {
        continuation.resume(std::current_exception());
      }
    };
    auto operation = suspend<R>(std::move(start));
    auto value = co_await std::move(operation);
    co_return unwrap<R>(std::move(value));
  }

  template <class R, class Body>
  static asio::awaitable<void> runBody(std::shared_ptr<Connection> self, std::string function,
                                       Body body, Proxy proxy, Continuation<R> continuation) {
    self->logWillProvideProxy(function);
    try {
      if constexpr (std::is_void_v<R>) {
        co_await body(proxy);
        continuation.resume();
      } else {
        continuation.resume(co_await body(proxy));
      }
    } catch (...) {
      continuation.resume(std::current_exception());
    }
  }

  template <class R, class Body>
  static asio::awaitable<R> proxyAsyncOnExecutor(std::shared_ptr<Connection> self,
                                                 std::string function, Body body) {
    auto start = [&self, &function, &body](Continuation<R> continuation) {
      auto proxy = self->activateAndMakeProxy(
          [continuation](std::exception_ptr error) { continuation.resume(std::move(error)); });
      platform::dispatch::detach(
          self->executor(), runBody<R, Body>(self, function, std::move(body), proxy, continuation));
    };
    auto operation = suspend<R>(std::move(start));
    auto value = co_await std::move(operation);
    co_return unwrap<R>(std::move(value));
  }
};

}  // namespace brellis::ipc
