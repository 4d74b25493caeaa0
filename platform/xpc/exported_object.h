#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/dispatch/once_callback.h"
#include "platform/xpc/interface_description.h"
#include "platform/xpc/value.h"

namespace brellis::platform::xpc {

// The reply block handed to the exported object for a method with a reply. It sends at most
// once, from any thread; later calls are ignored. If every copy is dropped without sending, the
// caller's message ends with kErrorConnectionReplyInvalid instead of waiting for ever.
// An empty Reply (operator bool false) is handed for one-way methods.
class Reply {
 public:
  Reply() = default;
  // `send` receives the values, or nullopt when the reply was dropped unsent.
  explicit Reply(std::function<void(std::optional<std::vector<Value>>)> send);

  // Sends the reply's arguments; returns whether this call sent it.
  bool operator()(std::vector<Value> values) const;
  bool hasRun() const { return once_.hasRun(); }
  explicit operator bool() const { return static_cast<bool>(once_); }

 private:
  dispatch::OnceCallback<void(std::optional<std::vector<Value>>)> once_;
};

// The object a connection exports. invoke() runs on the connection's serial executor, only for
// selectors of the exported interface and only with arguments that match their declared types.
class ExportedObject {
 public:
  virtual ~ExportedObject() = default;
  virtual void invoke(const MethodDescription& method, std::vector<Value> arguments,
                      Reply reply) = 0;
};

// An exported object made of one handler per selector. A selector of the interface without a
// handler gets its reply dropped (the caller sees kErrorConnectionReplyInvalid).
class Dispatcher : public ExportedObject {
 public:
  using Handler = std::function<void(std::vector<Value> arguments, Reply reply)>;

  // Set-up only (before the object is exported); not thread-safe against invoke().
  Dispatcher& on(std::string selector, Handler handler);
  void invoke(const MethodDescription& method, std::vector<Value> arguments, Reply reply) override;

 private:
  std::unordered_map<std::string, Handler> handlers_;
};

}  // namespace brellis::platform::xpc
