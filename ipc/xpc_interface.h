#pragma once

#include <concepts>
#include <memory>

#include "platform/xpc/interface_description.h"

namespace brellis::ipc {

// An XPC interface type: a type that describes its methods once, as data. The description's
// name is the interface's name as log categories print it ("TarvoDaemonInterface").
//
//   struct TarvoDaemonInterface {
//     static std::shared_ptr<const platform::xpc::InterfaceDescription> description();
//   };
template <class T>
concept XpcInterface = requires {
  {
    T::description()
    } -> std::convertible_to<std::shared_ptr<const platform::xpc::InterfaceDescription>>;
};

}  // namespace brellis::ipc
