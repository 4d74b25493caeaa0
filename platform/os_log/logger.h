#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace brellis::platform::os_log {

enum class LogLevel { debug = 0, info = 1, defaultLevel = 2, error = 3, fault = 4 };

const char* levelName(LogLevel level);  // "debug", "info", "default", "error", "fault"

// One argument of a log format. Pointers print as numbers (the system formats them with %lx).
using LogArg = std::variant<int64_t, uint64_t, double, bool, std::string>;

// What a sink receives: `text` is the message as the log shows it, private arguments
// replaced by "<private>"; `unredacted` has every argument printed (for tests only).
struct LogRecord {
  LogLevel level;
  std::string subsystem;
  std::string category;
  std::string text;
  std::string unredacted;
};

// The fields of the journal entry of `record`, each "NAME=value" in this order: MESSAGE (the
// text as the log shows it, private arguments redacted), PRIORITY (the syslog priority of the
// level: debug 7, info 6, default 5, error 3, fault 2), SUBSYSTEM and CATEGORY. The journald
// sink sends exactly these.
std::vector<std::string> journalFields(const LogRecord& record);

class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual void write(const LogRecord& record) = 0;
};

// Renders a printf-style format of the unified log: %s %d %ld %lu %lx %f %@ %%, with the
// privacy markers {public} and {private} and the {bool} decoration (%{bool}d prints true/false).
// Strings (%s, %@) are private unless marked {public}; scalars are public unless {private}.
// Missing arguments print as "<missing>"; extra arguments are ignored.
struct RenderedMessage {
  std::string text;
  std::string unredacted;
};
RenderedMessage renderFormat(std::string_view format, const std::vector<LogArg>& args);

// Logger(subsystem, category): the handle through which every type logs. Cheap to copy.
// Sinks and the enabled levels are process-wide. By default, levels from info up are enabled
// and debug is off; BRELLIS_LOG_LEVEL=debug|info|default|error|fault sets the lowest enabled
// level at start. Nothing is formatted for a disabled level.
class Logger {
 public:
  Logger(std::string subsystem, std::string category);

  const std::string& subsystem() const { return subsystem_; }
  const std::string& category() const { return category_; }

  template <class... A>
  void log(LogLevel level, std::string_view format, const A&... args) const {
    if (!isEnabled(level)) return;
    emit(level, format, {toArg(args)...});
  }
  template <class... A>
  void debug(std::string_view f, const A&... a) const {
    log(LogLevel::debug, f, a...);
  }
  template <class... A>
  void info(std::string_view f, const A&... a) const {
    log(LogLevel::info, f, a...);
  }
  template <class... A>
  void notice(std::string_view f, const A&... a) const {
    log(LogLevel::defaultLevel, f, a...);
  }
  template <class... A>
  void error(std::string_view f, const A&... a) const {
    log(LogLevel::error, f, a...);
  }
  template <class... A>
  void fault(std::string_view f, const A&... a) const {
    log(LogLevel::fault, f, a...);
  }

  static bool isEnabled(LogLevel level);
  static void setMinimumLevel(LogLevel level);
  static LogLevel minimumLevel();

  // Replaces the process's sinks (tests install a CaptureSink). With no sink set explicitly,
  // the default sink is journald when available and BRELLIS_LOG_STDERR is unset, else stderr.
  // Loaded into another program's process, the stderr sink writes errors and faults only unless
  // BRELLIS_LOG_STDERR is set.
  static void setSinks(std::vector<std::shared_ptr<LogSink>> sinks);
  static void addSink(std::shared_ptr<LogSink> sink);
  static void resetSinks();

 private:
  template <class T>
  static LogArg toArg(const T& v) {
    if constexpr (std::is_same_v<T, bool>) {
      return v;
    } else if constexpr (std::is_floating_point_v<T>) {
      return static_cast<double>(v);
    } else if constexpr (std::is_enum_v<T>) {
      return static_cast<int64_t>(v);
    } else if constexpr (std::is_integral_v<T> && std::is_signed_v<T>) {
      return static_cast<int64_t>(v);
    } else if constexpr (std::is_integral_v<T>) {
      return static_cast<uint64_t>(v);
    } else if constexpr (std::is_pointer_v<T> && !std::is_convertible_v<T, const char*>) {
      return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(v));
    } else {
      return std::string(std::string_view(v));
    }
  }
  void emit(LogLevel level, std::string_view format, std::vector<LogArg> args) const;

  std::string subsystem_;
  std::string category_;
};

// Records every entry; thread-safe, and safe across fork(). For tests.
class CaptureSink : public LogSink {
 public:
  void write(const LogRecord& record) override;
  std::vector<LogRecord> records() const;
  // Texts of the records, optionally only those of one category.
  std::vector<std::string> texts(std::string_view category = {}) const;
  bool contains(std::string_view text) const;
  void clear();

 private:
  std::vector<LogRecord> records_;  // guarded by one lock shared by every CaptureSink
};

// Installs a CaptureSink for the lifetime of the object and restores the previous sinks and
// minimum level afterwards. Enables every level by default.
class ScopedLogCapture {
 public:
  explicit ScopedLogCapture(LogLevel minimum = LogLevel::debug);
  ~ScopedLogCapture();
  CaptureSink& sink() { return *sink_; }
  std::shared_ptr<CaptureSink> shared() { return sink_; }

 private:
  std::shared_ptr<CaptureSink> sink_;
  LogLevel previousMinimum_;
};

}  // namespace brellis::platform::os_log
