#pragma once

#include <tl/expected.hpp>

#include "platform/foundation/error_record.h"

namespace brellis::platform::crypto_token_kit {

// The outcome of a call that the platform declares with an error out-parameter: the value, or
// the error (a TKErrorDomain record, as a rule). Plain values, so they cross the boundary of a
// loaded plug-in without exceptions.
template <class T>
using TKResult = tl::expected<T, foundation::ErrorRecord>;

}  // namespace brellis::platform::crypto_token_kit
