#include "login_app/complexity_policy.h"

#include "connectivity_protocol/record_reader.h"

namespace brellis::login_app {

namespace {

using platform::foundation::PlistDict;
using platform::foundation::PlistValue;

// The integer fields with their keys, in coding order ("excludeUsername" follows them).
constexpr std::pair<const char*, std::optional<int64_t> ComplexityPolicy::*> kIntegerFields[] = {
    {ComplexityPolicy::kMinLengthKey, &ComplexityPolicy::minLength},
    {ComplexityPolicy::kMinUpperCaseKey, &ComplexityPolicy::minUpperCase},
    {ComplexityPolicy::kMinLowerCaseKey, &ComplexityPolicy::minLowerCase},
    {ComplexityPolicy::kMinNumberKey, &ComplexityPolicy::minNumber},
    {ComplexityPolicy::kMinSymbolKey, &ComplexityPolicy::minSymbol},
    {ComplexityPolicy::kMinMatchesKey, &ComplexityPolicy::minMatches},
};

}  // namespace

PlistValue ComplexityPolicy::encode() const {
  PlistDict dict;
  for (const auto& [key, field] : kIntegerFields) {
    if (const auto& value = this->*field) dict.set(key, PlistValue(*value));
  }
  if (excludeUsername) dict.set(kExcludeUsernameKey, PlistValue(*excludeUsername));
  return PlistValue(std::move(dict));
}

ComplexityPolicy ComplexityPolicy::decode(const PlistValue& tree) {
  connectivity_protocol::RecordReader reader(tree);
  ComplexityPolicy policy;
  for (const auto& [key, field] : kIntegerFields) {
    if (reader.find(key)) policy.*field = reader.int64(key);
  }
  if (const PlistValue* value = reader.find(kExcludeUsernameKey)) {
    auto flag = value->boolean();
    if (!flag) reader.typeMismatch(kExcludeUsernameKey, "a boolean");
    policy.excludeUsername = *flag;
  }
  return policy;
}

}  // namespace brellis::login_app
