#include "platform/xpc/exported_object.h"

namespace brellis::platform::xpc {

Reply::Reply(std::function<void(std::optional<std::vector<Value>>)> send)
    : once_(std::move(send), {std::nullopt}) {}

bool Reply::operator()(std::vector<Value> values) const {
  return once_(std::optional<std::vector<Value>>(std::move(values)));
}

Dispatcher& Dispatcher::on(std::string selector, Handler handler) {
  handlers_[std::move(selector)] = std::move(handler);
  return *this;
}

void Dispatcher::invoke(const MethodDescription& method, std::vector<Value> arguments,
                        Reply reply) {
  auto it = handlers_.find(method.selector);
  if (it == handlers_.end()) return;  // the reply is dropped: the caller sees "reply invalid"
  it->second(std::move(arguments), std::move(reply));
}

}  // namespace brellis::platform::xpc
