#pragma once

#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>

#include "platform/foundation/plist_value.h"

namespace brellis::platform::foundation {

inline constexpr const char* kCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr const char* kPosixErrorDomain = "NSPOSIXErrorDomain";
inline constexpr const char* kOSStatusErrorDomain = "NSOSStatusErrorDomain";
inline constexpr const char* kLocalizedDescriptionKey = "NSLocalizedDescription";
inline constexpr const char* kDebugDescriptionKey = "NSDebugDescription";

// An error that crosses a process or a platform boundary: {domain, code, userInfo}.
struct ErrorRecord {
  std::string domain;
  int64_t code = 0;
  PlistDict userInfo;

  // The NSLocalizedDescription entry when it is a string, else
  // "The operation couldn’t be completed. (DOMAIN error CODE.)" (typographic apostrophe).
  std::string localizedDescription() const;
  // The platform's textual form:
  // Error Domain=DOMAIN Code=CODE "LOCALIZED" UserInfo={KEY=VALUE, ...}
  // (the UserInfo part only when userInfo is not empty).
  std::string description() const;

  bool operator==(const ErrorRecord& other) const {
    return domain == other.domain && code == other.code && userInfo == other.userInfo;
  }
};

// A thrown ErrorRecord: what a Swift `throws` of a platform error becomes.
class ErrorException : public std::exception {
 public:
  explicit ErrorException(ErrorRecord record);
  const ErrorRecord& record() const { return record_; }
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  ErrorRecord record_;
  std::string what_;
};

// Our own error enumerations bridge to a record with domain = the qualified type name and
// code = the case position. Each such exception class derives from BridgedError.
class BridgedError : public std::exception {
 public:
  virtual ErrorRecord toRecord() const = 0;
  // The error's own textual form (Swift's description of the value, e.g. "unknown").
  virtual std::string description() const = 0;
  const char* what() const noexcept override;

 private:
  mutable std::string what_;
};

// An error raised by a platform layer below the system (security, crypto) that bridges to the
// platform's own record: its domain and code as the platform would report them, with what() as
// the debug description. A runtime_error, so existing handlers keep catching it.
class PlatformError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  virtual ErrorRecord toRecord() const = 0;
};

// Converts whatever was caught into a record: ErrorException, BridgedError and PlatformError keep
// theirs; a PlistError becomes NSCocoaErrorDomain 3840; anything else NSCocoaErrorDomain 4 with
// what() as the localized description. Call inside a catch block.
ErrorRecord currentExceptionRecord();
ErrorRecord exceptionRecord(const std::exception_ptr& error);

// "<domain> <code>: <description>: <localizedDescription>", the one-line text that the system
// logs for an error.
std::string errorText(const ErrorRecord& record, const std::string& description);
std::string errorText(const ErrorRecord& record);
std::string errorText(const std::exception_ptr& error);

}  // namespace brellis::platform::foundation
