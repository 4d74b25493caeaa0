#include "platform/dispatch/serial_queue.h"

namespace brellis::platform::dispatch {

SerialQueue::SerialQueue(std::string label, asio::any_io_executor base)
    : state_(std::make_shared<State>(State{std::move(label), asio::make_strand(base)})) {}

}  // namespace brellis::platform::dispatch
