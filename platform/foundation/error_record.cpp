#include "platform/foundation/error_record.h"

#include "platform/foundation/plist_codec.h"

namespace brellis::platform::foundation {

namespace {

std::string valueText(const PlistValue& value) {
  if (auto* s = value.string()) return *s;
  if (auto i = value.int64()) return std::to_string(*i);
  if (auto b = value.boolean()) return *b ? "1" : "0";
  if (auto d = value.real()) return std::to_string(*d);
  return std::string("<") + kindName(value) + ">";
}

}  // namespace

std::string ErrorRecord::localizedDescription() const {
  if (auto* entry = userInfo.find(kLocalizedDescriptionKey)) {
    if (auto* text = entry->string()) return *text;
  }
  return "The operation couldn\u2019t be completed. (" + domain + " error " + std::to_string(code) +
         ".)";
}

std::string ErrorRecord::description() const {
  std::string text = "Error Domain=" + domain + " Code=" + std::to_string(code) + " \"" +
                     localizedDescription() + "\"";
  if (!userInfo.empty()) {
    text += " UserInfo={";
    bool first = true;
    for (auto& [key, value] : userInfo) {
      if (!first) text += ", ";
      first = false;
      text += key + "=" + valueText(value);
    }
    text += "}";
  }
  return text;
}

ErrorException::ErrorException(ErrorRecord record)
    : record_(std::move(record)), what_(record_.description()) {}

const char* BridgedError::what() const noexcept {
  try {
    what_ = description();
  } catch (...) {
    return "error";
  }
  return what_.c_str();
}

ErrorRecord exceptionRecord(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const ErrorException& e) {
    return e.record();
  } catch (const BridgedError& e) {
    return e.toRecord();
  } catch (const PlatformError& e) {
    return e.toRecord();
  } catch (const PlistError& e) {
    ErrorRecord record{kCocoaErrorDomain, 3840, {}};
    record.userInfo.set(kDebugDescriptionKey, std::string(e.what()));
    return record;
  } catch (const std::exception& e) {
    ErrorRecord record{kCocoaErrorDomain, 4, {}};
    record.userInfo.set(kLocalizedDescriptionKey, std::string(e.what()));
    return record;
  } catch (...) {
    return ErrorRecord{kCocoaErrorDomain, 4, {}};
  }
}

ErrorRecord currentExceptionRecord() { return exceptionRecord(std::current_exception()); }

std::string errorText(const ErrorRecord& record, const std::string& description) {
  return record.domain + " " + std::to_string(record.code) + ": " + description + ": " +
         record.localizedDescription();
}

std::string errorText(const ErrorRecord& record) { return errorText(record, record.description()); }

std::string errorText(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const BridgedError& e) {
    return errorText(e.toRecord(), e.description());
  } catch (...) {
    return errorText(exceptionRecord(error));
  }
}

}  // namespace brellis::platform::foundation
