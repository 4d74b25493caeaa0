#pragma once

#include "connectivity_protocol/coded_result.h"
#include "connectivity_protocol/connectivity_error.h"
#include "connectivity_protocol/record_reader.h"
#include "platform/foundation/plist_value.h"

namespace brellis::connectivity_protocol {

// The "result" key of a response: exactly "success" or "failure", else DecodingError.
CodedResult decodeCodedResult(const RecordReader& reader);
// The "failure" key: exactly one of the ConnectivityError raw values, else DecodingError.
ConnectivityError decodeFailure(const RecordReader& reader);
// Writes "result" = "failure", then "failure" = the raw value.
void encodeFailure(const ConnectivityError& error, platform::foundation::PlistDict& dict);

}  // namespace brellis::connectivity_protocol
