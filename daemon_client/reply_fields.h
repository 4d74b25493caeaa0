#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "daemon_client/daemon_values.h"
#include "daemon_client/tarvo_daemon_interface.h"
#include "platform/foundation/error_record.h"
#include "platform/xpc/value.h"

namespace brellis::daemon_client {

// One reply block's values, decoded in one pass by the kinds its row of the operation table
// declares: each value is nil (absent) or of its declared kind (a number of any numeric kind,
// exactly as it came); values the reply lacks count as nil. Received descriptors move into the
// fields and are closed with them.
class ReplyFields {
 public:
  // Raises DecodingError (typeMismatch, the coding path naming the value's position) for a value
  // of another kind, also for an element of a list or a dictionary.
  static ReplyFields decode(const OperationDescriptor& row,
                            std::vector<platform::xpc::Value> values);

  // The field at `index`, of the type its kind decodes to (string and URL: std::string, bytes:
  // Bytes, number: Number, ...); absent when it was nil.
  template <class T>
  std::optional<T> take(size_t index) {
    Field& field = fields_.at(index);
    if (std::holds_alternative<std::monostate>(field)) return std::nullopt;
    return std::move(std::get<T>(field));
  }

  // The reply's error slot (its last parameter, when its row has one); absent when nil.
  const std::optional<platform::foundation::ErrorRecord>& error() const { return error_; }

 private:
  using Field = std::variant<std::monostate, std::string, Bytes, Endpoint, Number, FileHandle,
                             std::vector<Bytes>, std::vector<std::string>, StringListsDictionary>;

  std::vector<Field> fields_;
  std::optional<platform::foundation::ErrorRecord> error_;
};

}  // namespace brellis::daemon_client
