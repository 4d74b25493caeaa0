// The `brellis` program as users meet it:
//  - BM_BrellisHelp: wall time of `brellis --help` (start, print, exit) against the least a
//    process costs, `/bin/true`, started the same way in the same run. Target: within 5 ms.
//  - BM_BrellisServingIdle: resident memory of a serving `brellis` (launch check passed, beacon
//    listener active, endpoint registered with the test daemon), idle, against the test daemon's
//    own idle resident memory in the same run. Target: at most 8 MB.
// Counters: help_ms, baseline_ms, ratio_to_baseline; rss_mb (shared library pages included),
// pss_mb, private_mb, baseline_rss_mb, ratio_to_baseline.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "connectivity/pairing_identity.h"
#include "platform/crypto_token_kit/test_support/test_certificates.h"
#include "token_host/unlock_archive.h"
#include "token_host/unlock_data.h"

namespace {

namespace fs = std::filesystem;
using brellis::platform::foundation::Bytes;

pid_t spawn(std::vector<std::string> argv, bool quiet = true) {
  pid_t pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (quiet) {
      int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, STDOUT_FILENO);
      ::dup2(null, STDERR_FILENO);
    }
    std::vector<char*> args;
    for (auto& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  return pid;
}

int runToEnd(std::vector<std::string> argv) {
  int status = 0;
  ::waitpid(spawn(std::move(argv)), &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A field of /proc/<pid>/smaps_rollup in megabytes ("Rss", "Pss", "Private_Dirty", ...).
double rollupMegabytes(pid_t pid, const std::string& field) {
  std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
  std::string line;
  while (std::getline(rollup, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::stod(line.substr(field.size() + 1)) / 1024.0;
  }
  return 0;
}

// A state root with a session, a radio, a test authority and the signed test daemon.
struct StateRoot {
  StateRoot() {
    char pattern[] = "/tmp/brellis_bench_XXXXXX";
    path = ::mkdtemp(pattern);
    ::setenv("BRELLIS_ROOT", path.c_str(), 1);
    fs::create_directories(path / "window_server");
    std::ofstream(path / "window_server" / "session") << "\n";
    fs::create_directories(path / "radio");
  }
  ~StateRoot() {
    std::error_code error;
    fs::remove_all(path, error);
  }
  fs::path path;
};

pid_t startDaemon(const fs::path& root) {
  const fs::path ca = root / "ca";
  const fs::path daemon = root / "brellis-test-daemon";
  runToEnd({BRELLIS_CODESIGN, "make-ca", ca.string()});
  runToEnd({BRELLIS_CODESIGN, "install-anchor", ca.string(), root.string()});
  fs::copy_file(BRELLIS_TEST_DAEMON, daemon);
  runToEnd(
      {BRELLIS_CODESIGN, "sign", ca.string(), daemon.string(), "com.velkor.tarvo.daemon", "2.1"});
  auto certificate = brellis::platform::crypto_token_kit::test_support::makeTestCertificate(
                         brellis::platform::crypto_token_kit::test_support::TestKeyKind::p256)
                         .der;
  Bytes data = brellis::token_host::archiveUnlockData(brellis::token_host::UnlockData(
      certificate, false, "5B0F7F2E-8C1D-4C33-9D7E-0A1B2C3D4E5F", "BrellisDriver",
      {brellis::connectivity::PairingIdentity("PHONE-1", "Phone", Bytes{9}, Bytes{1})},
      brellis::connectivity_protocol::UnlockVersion::unlock_1_2_0));
  Bytes status = brellis::token_host::archiveUnlockStatus({true});
  std::ofstream(root / "data.archive", std::ios::binary)
      .write(reinterpret_cast<const char*>(data.data()), static_cast<long>(data.size()));
  std::ofstream(root / "status.archive", std::ios::binary)
      .write(reinterpret_cast<const char*>(status.data()), static_cast<long>(status.size()));
  pid_t pid = spawn({daemon.string(), "--unlock-data", (root / "data.archive").string(),
                     "--unlock-status", (root / "status.archive").string()});
  for (int i = 0; i < 2000 && !fs::exists(root / "test_daemon" / "ready"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return pid;
}

bool endpointRegistered(const fs::path& root) {
  std::ifstream calls(root / "test_daemon" / "calls.jsonl");
  std::string text(std::istreambuf_iterator<char>(calls), {});
  return text.find("registerBrellisListenerEndpoint") != std::string::npos;
}

void stop(pid_t pid) {
  ::kill(pid, SIGTERM);
  ::waitpid(pid, nullptr, 0);
}

double millisecondsToRun(const std::vector<std::string>& argv, int rounds) {
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < rounds; ++i) runToEnd(argv);
  std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
  return elapsed.count() / rounds;
}

void BM_BrellisHelp(benchmark::State& state) {
  StateRoot root;
  const int rounds = 50;
  double help = 0, baseline = 0;
  for (auto _ : state) {
    baseline = millisecondsToRun({"/bin/true"}, rounds);
    help = millisecondsToRun({BRELLIS_PROGRAM, "--help"}, rounds);
  }
  state.counters["help_ms"] = help;
  state.counters["baseline_ms"] = baseline;
  state.counters["ratio_to_baseline"] = help / baseline;
}
BENCHMARK(BM_BrellisHelp)->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_BrellisServingIdle(benchmark::State& state) {
  StateRoot root;
  pid_t daemon = startDaemon(root.path);
  double rss = 0, baseline = 0, pss = 0, privateMb = 0;
  for (auto _ : state) {
    pid_t program = spawn({BRELLIS_PROGRAM});
    for (int i = 0; i < 2000 && !endpointRegistered(root.path); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // Idle: nothing asks anything of it for a while.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    rss = rollupMegabytes(program, "Rss");
    pss = rollupMegabytes(program, "Pss");
    privateMb =
        rollupMegabytes(program, "Private_Clean") + rollupMegabytes(program, "Private_Dirty");
    baseline = rollupMegabytes(daemon, "Rss");
    if (!endpointRegistered(root.path)) state.SkipWithError("brellis did not start serving");
    stop(program);
  }
  stop(daemon);
  state.counters["rss_mb"] = rss;
  state.counters["pss_mb"] = pss;
  state.counters["private_mb"] = privateMb;
  state.counters["baseline_rss_mb"] = baseline;
  state.counters["ratio_to_baseline"] = baseline > 0 ? rss / baseline : 0;
}
BENCHMARK(BM_BrellisServingIdle)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
