#include "login_app/authorization_db_system_login_console.h"

#include "platform/foundation/decoding_error.h"
#include "platform/foundation/plist_codec.h"
#include "platform/foundation/state_root.h"
#include "platform/foundation/utf_text.h"

namespace brellis::login_app {

namespace {

using platform::foundation::DecodingError;

}  // namespace

AuthorizationDBSystemLoginConsole::TerminationError::TerminationError(
    std::pair<int64_t, std::string> status)
    : status_(std::move(status)),
      what_("TerminationError(status: (" + std::to_string(status_.first) + ", \"" + status_.second +
            "\"))") {}

std::filesystem::path AuthorizationDBSystemLoginConsole::toolPath() {
  return platform::foundation::statePath(kToolRelativePath, kToolPath);
}

AuthorizationDBSystemLoginConsole AuthorizationDBSystemLoginConsole::decode(
    const platform::foundation::Bytes& output) {
  const platform::foundation::PlistValue root = platform::foundation::readPlist(output);
  const auto* dict = root.dict();
  if (!dict) {
    throw DecodingError(DecodingError::Kind::typeMismatch, {},
                        "Expected to decode Dictionary but found " +
                            std::string(platform::foundation::kindName(root)) + " instead.");
  }
  const auto* list = dict->find(kMechanismsKey);
  if (!list) {
    throw DecodingError(DecodingError::Kind::keyNotFound, {kMechanismsKey},
                        "No value associated with key \"mechanisms\".");
  }
  const auto* array = list->array();
  if (!array) {
    throw DecodingError(DecodingError::Kind::typeMismatch, {kMechanismsKey},
                        "Expected to decode Array but found " +
                            std::string(platform::foundation::kindName(*list)) + " instead.");
  }
  AuthorizationDBSystemLoginConsole right;
  for (size_t i = 0; i < array->size(); ++i) {
    const auto* text = (*array)[i].string();
    if (!text) {
      throw DecodingError(
          DecodingError::Kind::typeMismatch, {kMechanismsKey, "Index " + std::to_string(i)},
          "Expected to decode String but found " +
              std::string(platform::foundation::kindName((*array)[i])) + " instead.");
    }
    right.mechanisms.push_back(*text);
  }
  return right;
}

}  // namespace brellis::login_app
