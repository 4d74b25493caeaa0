#include "connectivity_protocol/certificates_response.h"

#include <charconv>

#include "connectivity_protocol/coding_keys.h"
#include "connectivity_protocol/record_reader.h"
#include "connectivity_protocol/result_coding.h"

namespace brellis::connectivity_protocol {

namespace fnd = platform::foundation;

namespace {

constexpr const char* kNotAnIntegerKey = "Could not convert the key to an integer: ";
constexpr const char* kDuplicateKey = "Two keys name the same integer: ";

Certificates decodeCertificates(const RecordReader& reader) {
  const char* key = stringValue(CodingKeys::success);
  RecordReader certificates = reader.nested(key);
  const fnd::PlistDict* dict = reader.require(key).dict();
  Certificates result;
  for (const auto& [text, value] : *dict) {
    std::optional<int64_t> identifier = parseDecimalInt64(text);
    if (!identifier) certificates.corrupted(text, kNotAnIntegerKey + text);
    const fnd::Bytes* bytes = value.data();
    if (bytes == nullptr) certificates.typeMismatch(text, "data");
    if (!result.emplace(*identifier, *bytes).second) {
      certificates.corrupted(text, kDuplicateKey + text);
    }
  }
  return result;
}

}  // namespace

std::optional<int64_t> parseDecimalInt64(std::string_view text) {
  std::string_view digits = text;
  bool negative = false;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty()) return std::nullopt;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  // Parse the magnitude unsigned so that INT64_MIN's magnitude fits.
  uint64_t magnitude = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
  if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  constexpr uint64_t kMaxMagnitude = static_cast<uint64_t>(INT64_MAX);
  if (negative) {
    if (magnitude > kMaxMagnitude + 1) return std::nullopt;
    return magnitude == kMaxMagnitude + 1 ? INT64_MIN : -static_cast<int64_t>(magnitude);
  }
  if (magnitude > kMaxMagnitude) return std::nullopt;
  return static_cast<int64_t>(magnitude);
}

fnd::PlistValue CertificatesResponse::toPropertyList() const {
  fnd::PlistDict dict;
  dict.set(stringValue(CodingKeys::tag), tag_.string());
  dict.set(stringValue(CodingKeys::deviceName), deviceName_);
  if (result_) {
    dict.set(stringValue(CodingKeys::result), rawValue(CodedResult::success));
    fnd::PlistDict certificates;
    for (const auto& [identifier, bytes] : *result_) {
      certificates.set(std::to_string(identifier), bytes);
    }
    dict.set(stringValue(CodingKeys::success), std::move(certificates));
  } else {
    encodeFailure(result_.error(), dict);
  }
  dict.set(stringValue(CodingKeys::unlockVersion), rawValue(unlockVersion_));
  return dict;
}

fnd::Bytes CertificatesResponse::encode() const { return writeRecord(toPropertyList()); }

CertificatesResponse CertificatesResponse::fromPropertyList(const fnd::PlistValue& value) {
  RecordReader reader(value);
  fnd::Uuid tag = reader.uuid(stringValue(CodingKeys::tag));
  std::string deviceName = kDefaultDeviceName;
  if (const fnd::PlistValue* name = reader.find(stringValue(CodingKeys::deviceName))) {
    if (name->string() != nullptr && !name->string()->empty()) deviceName = *name->string();
  }
  CertificatesResult result;
  if (decodeCodedResult(reader) == CodedResult::success) {
    result = decodeCertificates(reader);
  } else {
    result = tl::unexpected(decodeFailure(reader));
  }
  UnlockVersion version =
      unlockVersionLeniently(reader.find(stringValue(CodingKeys::unlockVersion)));
  return CertificatesResponse(tag, std::move(deviceName), std::move(result), version);
}

CertificatesResponse CertificatesResponse::decode(const fnd::Bytes& bytes) {
  return fromPropertyList(readRecord(bytes));
}

}  // namespace brellis::connectivity_protocol
