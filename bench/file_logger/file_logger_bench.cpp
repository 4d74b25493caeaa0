// The file logger's lines per second against the least a coordinated append can cost: open,
// lock, write, close of the same line in a plain loop. The ratio (logger / baseline) is reported
// as the counter "ratio_to_baseline"; the target is at least 0.5.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "logging/file_logger.h"
#include "platform/os_log/logger.h"

namespace {

const std::string kLine = "Wed Dec 09 04:05:06 [Bench] - info - Bench: a line of ordinary length\n";

double baselineLinesPerSecond(const std::string& path, int lines) {
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < lines; ++i) {
    int lock = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ::flock(lock, LOCK_EX);
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    benchmark::DoNotOptimize(::write(fd, kLine.data(), kLine.size()));
    ::close(fd);
    ::flock(lock, LOCK_UN);
    ::close(lock);
  }
  std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  return lines / elapsed.count();
}

void BM_FileLoggerLines(benchmark::State& state) {
  // Only the file is measured: the unified-log side goes to a sink that drops everything.
  struct NullSink : brellis::platform::os_log::LogSink {
    void write(const brellis::platform::os_log::LogRecord&) override {}
  };
  brellis::platform::os_log::Logger::setSinks({std::make_shared<NullSink>()});
  std::string name = "brellis_bench_" + std::to_string(::getpid());
  brellis::logging::FileLogger logger(name, "Bench", "Bench");
  std::string basePath = "/tmp/" + name + "_baseline.log";
  const int lines = 2000;
  double loggerRate = 0, baselineRate = 0;
  for (auto _ : state) {
    baselineRate = baselineLinesPerSecond(basePath, lines);
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < lines; ++i) logger.info("a line of ordinary length");
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    loggerRate = lines / elapsed.count();
  }
  state.counters["logger_lines_per_s"] = loggerRate;
  state.counters["baseline_lines_per_s"] = baselineRate;
  state.counters["ratio_to_baseline"] = loggerRate / baselineRate;
  ::unlink(logger.logFilePath().c_str());
  ::unlink((logger.logFilePath() + ".lock").c_str());
  ::unlink(basePath.c_str());
  ::unlink((basePath + ".lock").c_str());
}
BENCHMARK(BM_FileLoggerLines)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
