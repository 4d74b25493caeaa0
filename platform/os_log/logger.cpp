#include "platform/os_log/logger.h"

#include <dlfcn.h>
#include <link.h>
#include <pthread.h>
#include <sys/uio.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

#include "platform/os_log/log_text.h"

#ifdef BRELLIS_HAVE_JOURNALD
#include <systemd/sd-journal.h>
#endif

namespace brellis::platform::os_log {

namespace {

LogLevel levelFromEnvironment() {
  const char* value = std::getenv("BRELLIS_LOG_LEVEL");
  if (!value) return LogLevel::info;
  std::string_view v(value);
  if (v == "debug") return LogLevel::debug;
  if (v == "info") return LogLevel::info;
  if (v == "default") return LogLevel::defaultLevel;
  if (v == "error") return LogLevel::error;
  if (v == "fault") return LogLevel::fault;
  return LogLevel::info;
}

std::atomic<int>& minimumLevelStorage() {
  static std::atomic<int> level{static_cast<int>(levelFromEnvironment())};
  return level;
}

// Whether this code was loaded into another program's process (as the PKCS#11 module or a token
// plug-in is) rather than linked into the program itself.
bool loadedIntoAnotherProgram() {
  Dl_info info;
  link_map* own = nullptr;
  if (!dladdr1(reinterpret_cast<void*>(&loadedIntoAnotherProgram), &info,
               reinterpret_cast<void**>(&own), RTLD_DL_LINKMAP) ||
      !own) {
    return false;
  }
  link_map* program = nullptr;
  void* handle = dlopen(nullptr, RTLD_NOW | RTLD_NOLOAD);
  if (!handle) return false;
  const bool known = dlinfo(handle, RTLD_DI_LINKMAP, &program) == 0 && program;
  dlclose(handle);
  return known && own != program;
}

// The lowest level the stderr sink writes: in another program's process (a client that loaded
// the module) only errors and faults reach that program's standard error, unless
// BRELLIS_LOG_STDERR asks for the log there.
LogLevel stderrThreshold() {
  return !std::getenv("BRELLIS_LOG_STDERR") && loadedIntoAnotherProgram() ? LogLevel::error
                                                                          : LogLevel::debug;
}

// Decides its threshold when it is made, so writing a line takes no lock of the loader's or of a
// one-time initialisation.
class StderrSink : public LogSink {
 public:
  StderrSink() : threshold_(stderrThreshold()) {}
  void write(const LogRecord& r) override {
    if (r.level < threshold_) return;
    std::string line = "[" + r.subsystem + ":" + r.category + "] <" + levelName(r.level) + "> " +
                       escapingControls(r.text) + "\n";
    (void)!::write(STDERR_FILENO, line.data(), line.size());
  }

 private:
  const LogLevel threshold_;
};

#ifdef BRELLIS_HAVE_JOURNALD
class JournaldSink : public LogSink {
 public:
  void write(const LogRecord& r) override {
    auto fields = journalFields(r);
    std::vector<iovec> vector;
    for (auto& field : fields) vector.push_back({field.data(), field.size()});
    sd_journal_sendv(vector.data(), static_cast<int>(vector.size()));
  }
};
#endif

std::vector<std::shared_ptr<LogSink>> defaultSinks() {
#ifdef BRELLIS_HAVE_JOURNALD
  if (!std::getenv("BRELLIS_LOG_STDERR") && access("/run/systemd/journal/socket", W_OK) == 0) {
    return {std::make_shared<JournaldSink>()};
  }
#endif
  return {std::make_shared<StderrSink>()};
}

using SinkList = std::shared_ptr<const std::vector<std::shared_ptr<LogSink>>>;

SinkList makeSinkList(std::vector<std::shared_ptr<LogSink>> sinks) {
  return std::make_shared<const std::vector<std::shared_ptr<LogSink>>>(std::move(sinks));
}

// The locks a log line can take in this process. Both are held across fork() (see the handlers
// below), so a child never inherits one locked by a thread that does not exist there and its
// first line cannot wait for good. Constant-initialised: no first use takes a lock either.
// Order: registryMutex before captureMutex.
std::mutex registryMutex;
std::mutex captureMutex;  // every CaptureSink's records

struct SinkRegistry {
  SinkList sinks = makeSinkList(defaultSinks());
  // The sinks each live ScopedLogCapture replaced, innermost last.
  std::vector<SinkList> saved;
};

// Guarded by registryMutex.
SinkRegistry& registry() {
  static SinkRegistry* r = new SinkRegistry();  // outlives static destructors of callers
  return *r;
}

void lockBeforeFork() {
  registryMutex.lock();
  captureMutex.lock();
}
void unlockAfterFork() {
  captureMutex.unlock();
  registryMutex.unlock();
}

// Made when the library is loaded, before any thread of it logs: the registry and the level
// exist, and the fork handlers are installed. Each copy of this code in a process (a program and
// a plug-in it loads may each hold one) installs its own.
[[maybe_unused]] const bool loaded = [] {
  registry();
  minimumLevelStorage();
  return pthread_atfork(lockBeforeFork, unlockAfterFork, unlockAfterFork) == 0;
}();

std::string formatScalar(const char* conversionSpec, const LogArg& arg) {
  char buffer[64];
  if (auto* i = std::get_if<int64_t>(&arg)) {
    if (std::strchr(conversionSpec, 'x'))
      std::snprintf(buffer, sizeof buffer, "%" PRIx64, uint64_t(*i));
    else if (std::strchr(conversionSpec, 'u'))
      std::snprintf(buffer, sizeof buffer, "%" PRIu64, uint64_t(*i));
    else
      std::snprintf(buffer, sizeof buffer, "%" PRId64, *i);
  } else if (auto* u = std::get_if<uint64_t>(&arg)) {
    if (std::strchr(conversionSpec, 'x'))
      std::snprintf(buffer, sizeof buffer, "%" PRIx64, *u);
    else
      std::snprintf(buffer, sizeof buffer, "%" PRIu64, *u);
  } else if (auto* d = std::get_if<double>(&arg)) {
    std::snprintf(buffer, sizeof buffer, "%f", *d);
  } else if (auto* b = std::get_if<bool>(&arg)) {
    std::snprintf(buffer, sizeof buffer, "%d", *b ? 1 : 0);
  } else {
    return std::get<std::string>(arg);
  }
  return buffer;
}

}  // namespace

const char* levelName(LogLevel level) {
  switch (level) {
    case LogLevel::debug:
      return "debug";
    case LogLevel::info:
      return "info";
    case LogLevel::defaultLevel:
      return "default";
    case LogLevel::error:
      return "error";
    case LogLevel::fault:
      return "fault";
  }
  return "default";
}

std::vector<std::string> journalFields(const LogRecord& record) {
  // Syslog priorities by level, in the order of LogLevel.
  static constexpr int kPriority[] = {LOG_DEBUG, LOG_INFO, LOG_NOTICE, LOG_ERR, LOG_CRIT};
  const int priority = kPriority[static_cast<size_t>(record.level)];
  return {"MESSAGE=" + record.text, "PRIORITY=" + std::to_string(priority),
          "SUBSYSTEM=" + record.subsystem, "CATEGORY=" + record.category};
}

RenderedMessage renderFormat(std::string_view format, const std::vector<LogArg>& args) {
  RenderedMessage out;
  size_t next = 0;
  for (size_t i = 0; i < format.size(); ++i) {
    char c = format[i];
    if (c != '%') {
      out.text += c;
      out.unredacted += c;
      continue;
    }
    if (i + 1 < format.size() && format[i + 1] == '%') {
      out.text += '%';
      out.unredacted += '%';
      ++i;
      continue;
    }
    // %[{decorations}][flags/width/precision][length]conversion
    size_t j = i + 1;
    std::string decorations;
    if (j < format.size() && format[j] == '{') {
      size_t close = format.find('}', j);
      if (close == std::string_view::npos) break;
      decorations = std::string(format.substr(j + 1, close - j - 1));
      j = close + 1;
    }
    std::string conversionSpec = "%";
    while (j < format.size() && std::strchr("-+ #0123456789.", format[j]))
      conversionSpec += format[j++];
    while (j < format.size() && std::strchr("hlqLzjt", format[j])) conversionSpec += format[j++];
    if (j >= format.size()) break;
    char conversion = format[j];
    conversionSpec += conversion;
    i = j;

    bool isPublic = decorations.find("public") != std::string::npos;
    bool isPrivate = decorations.find("private") != std::string::npos;
    bool isBool = decorations.find("bool") != std::string::npos;
    bool isObject = conversion == 's' || conversion == '@';

    std::string rendered;
    if (next >= args.size()) {
      rendered = "<missing>";
    } else {
      const LogArg& arg = args[next++];
      if (isBool || (std::holds_alternative<bool>(arg) && conversion != 'd')) {
        bool value = false;
        if (auto* b = std::get_if<bool>(&arg))
          value = *b;
        else if (auto* i64 = std::get_if<int64_t>(&arg))
          value = *i64 != 0;
        else if (auto* u64 = std::get_if<uint64_t>(&arg))
          value = *u64 != 0;
        rendered = value ? "true" : "false";
      } else if (conversion == 'f' || conversion == 'g' || conversion == 'e') {
        double value = 0;
        if (auto* d = std::get_if<double>(&arg))
          value = *d;
        else if (auto* i64 = std::get_if<int64_t>(&arg))
          value = double(*i64);
        else if (auto* u64 = std::get_if<uint64_t>(&arg))
          value = double(*u64);
        char buffer[512];
        std::string fconversion = conversionSpec;
        // Strip length modifiers that do not apply to doubles.
        std::string clean;
        for (char ch : fconversion)
          if (!std::strchr("hlqzjt", ch)) clean += ch;
        std::snprintf(buffer, sizeof buffer, clean.c_str(), value);
        rendered = buffer;
      } else {
        rendered = formatScalar(conversionSpec.c_str(), arg);
      }
    }
    bool redact = isPrivate || (isObject && !isPublic);
    out.text += redact ? "<private>" : rendered;
    out.unredacted += rendered;
  }
  return out;
}

Logger::Logger(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

bool Logger::isEnabled(LogLevel level) {
  return static_cast<int>(level) >= minimumLevelStorage().load(std::memory_order_relaxed);
}
void Logger::setMinimumLevel(LogLevel level) { minimumLevelStorage() = static_cast<int>(level); }
LogLevel Logger::minimumLevel() { return static_cast<LogLevel>(minimumLevelStorage().load()); }

void Logger::setSinks(std::vector<std::shared_ptr<LogSink>> sinks) {
  SinkList replaced = makeSinkList(std::move(sinks));
  {
    std::lock_guard lock(registryMutex);
    std::swap(registry().sinks, replaced);
  }
  // The old sinks are released outside the lock: a sink's destructor may log.
}

void Logger::addSink(std::shared_ptr<LogSink> sink) {
  SinkList replaced;
  std::lock_guard lock(registryMutex);
  auto& r = registry();
  auto copy = *r.sinks;
  copy.push_back(std::move(sink));
  replaced = std::exchange(r.sinks, makeSinkList(std::move(copy)));
}

void Logger::resetSinks() { setSinks(defaultSinks()); }

void Logger::emit(LogLevel level, std::string_view format, std::vector<LogArg> args) const {
  auto rendered = renderFormat(format, args);
  LogRecord record{level, subsystem_, category_, std::move(rendered.text),
                   std::move(rendered.unredacted)};
  SinkList sinks;
  {
    std::lock_guard lock(registryMutex);
    sinks = registry().sinks;
  }
  for (auto& sink : *sinks) sink->write(record);
}

void CaptureSink::write(const LogRecord& record) {
  std::lock_guard lock(captureMutex);
  records_.push_back(record);
}

std::vector<LogRecord> CaptureSink::records() const {
  std::lock_guard lock(captureMutex);
  return records_;
}

std::vector<std::string> CaptureSink::texts(std::string_view category) const {
  std::lock_guard lock(captureMutex);
  std::vector<std::string> out;
  for (auto& r : records_) {
    if (category.empty() || r.category == category) out.push_back(r.text);
  }
  return out;
}

bool CaptureSink::contains(std::string_view text) const {
  std::lock_guard lock(captureMutex);
  for (auto& r : records_) {
    if (r.text == text || r.unredacted == text) return true;
  }
  return false;
}

void CaptureSink::clear() {
  std::lock_guard lock(captureMutex);
  records_.clear();
}

ScopedLogCapture::ScopedLogCapture(LogLevel minimum)
    : sink_(std::make_shared<CaptureSink>()), previousMinimum_(Logger::minimumLevel()) {
  std::lock_guard lock(registryMutex);
  auto& r = registry();
  r.saved.push_back(std::exchange(r.sinks, makeSinkList({sink_})));
  Logger::setMinimumLevel(minimum);
}

ScopedLogCapture::~ScopedLogCapture() {
  SinkList replaced;
  std::lock_guard lock(registryMutex);
  auto& r = registry();
  if (!r.saved.empty()) {
    replaced = std::exchange(r.sinks, std::move(r.saved.back()));
    r.saved.pop_back();
  }
  Logger::setMinimumLevel(previousMinimum_);
}

}  // namespace brellis::platform::os_log
