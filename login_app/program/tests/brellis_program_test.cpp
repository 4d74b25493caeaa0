// The `brellis` program as a separate process: start order, command-line texts, check mode,
// launch check, and the beacon interface through the outside client against the test daemon.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "connectivity/pairing_identity.h"
#include "platform/core_bluetooth/simulated_radio.h"
#include "platform/crypto_token_kit/test_support/test_certificates.h"
#include "testing/support/occurrences.h"
#include "testing/support/temporary_state_root.h"
#include "testing/support/wait_until.h"
#include "token_host/unlock_archive.h"
#include "token_host/unlock_data.h"

extern char** environ;

namespace brellis::login_app::program {
namespace {

namespace fs = std::filesystem;
using platform::core_bluetooth::SimulatedRadio;
using platform::foundation::Bytes;

constexpr const char* kContainer = "5B0F7F2E-8C1D-4C33-9D7E-0A1B2C3D4E5F";
constexpr const char* kUsageTail =
    "Usage: brellis [--check-bluetooth-access]\n  See 'brellis --help' for more information.\n";
constexpr const char* kHelp =
    "OVERVIEW: Background process used with Velkor Unlock.\n\nUSAGE: brellis "
    "[--check-bluetooth-access]\n\nOPTIONS:\n  --check-bluetooth-access\n  -h, --help          "
    "    Show help information.\n";
constexpr const char* kStartSelector = "unlockDataForAccount:completion:";

bool waitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  return brellis::testing::waitUntil(condition, timeout, std::chrono::milliseconds(5));
}

// What a program wrote to stderr without the unified log's lines: without journald the log
// falls back to stderr, and the application delegate logs at every start.
std::string withoutLogLines(const std::string& text) {
  std::istringstream lines(text);
  std::string line, kept;
  while (std::getline(lines, line)) {
    if (line.rfind("[", 0) != 0) kept += line + "\n";
  }
  return kept;
}

std::string readText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeBytes(const fs::path& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
}

std::string hex(const Bytes& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string text;
  for (auto byte : bytes) {
    text += digits[byte >> 4];
    text += digits[byte & 15];
  }
  return text;
}

// A child process with its output in files; killed at the end of the test if still running.
class Child {
 public:
  Child(const fs::path& directory, const std::string& name, std::vector<std::string> argv,
        std::map<std::string, std::string> environment = {})
      : out_(directory / (name + ".out")), err_(directory / (name + ".err")) {
    // Everything the child needs is made before the fork: between fork and exec a child of this
    // multithreaded process makes only async-signal-safe calls.
    std::vector<std::string> entries;
    for (char** entry = environ; *entry; ++entry) {
      const std::string_view text(*entry);
      if (!environment.contains(std::string(text.substr(0, text.find('='))))) {
        entries.emplace_back(text);
      }
    }
    for (const auto& [key, value] : environment) entries.push_back(key + "=" + value);
    std::vector<char*> envp;
    for (auto& entry : entries) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<char*> args;
    for (auto& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      int out = ::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int err = ::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(out, STDOUT_FILENO);
      ::dup2(err, STDERR_FILENO);
      ::execve(args[0], args.data(), envp.data());
      ::_exit(127);
    }
  }
  ~Child() {
    if (pid_ > 0 && !status_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  // True once the process has ended (its status is then kept).
  bool exited() {
    if (status_) return true;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      return true;
    }
    return false;
  }
  int waitExit(std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
    if (!waitFor([&] { return exited(); }, timeout)) return -2;
    return *status_;
  }
  void terminate() {
    if (!exited()) ::kill(pid_, SIGTERM);
    waitExit();
  }
  std::string out() const { return readText(out_); }
  std::string err() const { return readText(err_); }
  nlohmann::json reply() const { return nlohmann::json::parse(out()); }

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
  fs::path out_;
  fs::path err_;
};

class BrellisProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sessionFlag_ = root_.path() / "window_server" / "session";
    radio_ = root_.path() / "radio";
    fs::create_directories(root_.path() / "run");
  }

  fs::path run() const { return root_.path() / "run"; }
  void openSession() {
    fs::create_directories(sessionFlag_.parent_path());
    std::ofstream(sessionFlag_) << "\n";
  }
  // Runs brellis to its end with a session present.
  Child brellis(const std::string& name, std::vector<std::string> arguments,
                std::map<std::string, std::string> environment = {}) {
    arguments.insert(arguments.begin(), BRELLIS_PROGRAM);
    return Child(run(), name, std::move(arguments), std::move(environment));
  }

  // A test authority the state root trusts, the signed test daemon, and the unlock archives.
  void startDaemon(const nlohmann::json& script = nlohmann::json::object()) {
    const fs::path ca = root_.path() / "ca";
    ASSERT_EQ(brellis::testing::runProgram(BRELLIS_CODESIGN, {"make-ca", ca.string()}), 0);
    ASSERT_EQ(brellis::testing::runProgram(BRELLIS_CODESIGN,
                                           {"install-anchor", ca.string(), root_.path().string()}),
              0);
    const fs::path daemon = root_.path() / "bin" / "brellis-test-daemon";
    fs::create_directories(daemon.parent_path());
    fs::copy_file(BRELLIS_TEST_DAEMON, daemon);
    ASSERT_EQ(brellis::testing::runProgram(BRELLIS_CODESIGN, {"sign", ca.string(), daemon.string(),
                                                              "com.velkor.tarvo.daemon", "2.1"}),
              0);
    writeBytes(root_.path() / "data.archive", archive(kContainer));
    writeBytes(root_.path() / "status.archive", token_host::archiveUnlockStatus({true}));
    fs::create_directories(root_.path() / "test_daemon");
    setScript(script);
    daemon_ = std::make_unique<Child>(
        run(), "daemon",
        std::vector<std::string>{daemon.string(), "--unlock-data",
                                 (root_.path() / "data.archive").string(), "--unlock-status",
                                 (root_.path() / "status.archive").string()});
    ASSERT_TRUE(waitFor([&] { return fs::exists(root_.path() / "test_daemon" / "ready"); }));
  }
  void setScript(const nlohmann::json& script) {
    std::ofstream(root_.path() / "test_daemon" / "script.json") << script.dump();
  }
  std::vector<nlohmann::json> daemonCalls() const {
    std::vector<nlohmann::json> calls;
    std::istringstream lines(readText(root_.path() / "test_daemon" / "calls.jsonl"));
    std::string line;
    while (std::getline(lines, line)) {
      if (!line.empty()) calls.push_back(nlohmann::json::parse(line));
    }
    return calls;
  }
  bool daemonWasCalled(const std::string& selector) const {
    for (const auto& call : daemonCalls()) {
      if (call["selector"] == selector) return true;
    }
    return false;
  }
  static Bytes archive(const std::string& containerID) {
    auto certificate = platform::crypto_token_kit::test_support::makeTestCertificate(
                           platform::crypto_token_kit::test_support::TestKeyKind::p256)
                           .der;
    return token_host::archiveUnlockData(token_host::UnlockData(
        certificate, false, containerID, "BrellisDriver",
        {connectivity::PairingIdentity("PHONE-1", "Phone", Bytes{9, 8, 7}, Bytes{1})},
        connectivity_protocol::UnlockVersion::unlock_1_2_0));
  }

  size_t advertsOnAir() const { return SimulatedRadio::advertisements(radio_).size(); }
  std::vector<std::string> payloadsOnAir() const {
    std::vector<std::string> payloads;
    for (const auto& advert : SimulatedRadio::advertisements(radio_)) {
      payloads.push_back(hex(advert.payload));
    }
    return payloads;
  }
  // The beacon as a scanner reads it: the UUID's 16 bytes, then major 1 and minor 0 (big-endian)
  // and the measured power -50 (0xCE).
  static std::string beaconOf(const std::string& uuid) {
    std::string text;
    for (char c : uuid) {
      if (c != '-') text += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text + "0001" + "0000" + "ce";
  }
  // The accounts whose unlock data the daemon was asked for, in order.
  std::vector<std::string> accountsFetched() const {
    std::vector<std::string> accounts;
    for (const auto& call : daemonCalls()) {
      if (call["selector"] == kStartSelector) accounts.push_back(call["arguments"][0]["string"]);
    }
    return accounts;
  }
  Child client(const std::string& name, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), BRELLIS_BEACON_CLIENT);
    return Child(run(), name, std::move(arguments));
  }

  brellis::testing::TemporaryStateRoot root_;
  fs::path sessionFlag_;
  fs::path radio_;
  std::unique_ptr<Child> daemon_;
};

TEST_F(BrellisProgramTest, NothingHappensBeforeTheSessionExistsThenTheCommandLineIsParsed) {
  Child program = brellis("early", {"--x"}, {{"BRELLIS_LOG_LEVEL", "debug"}});
  // Several probe rounds pass without output, exit or parsing.
  EXPECT_FALSE(waitFor([&] { return program.exited() || !program.err().empty(); },
                       std::chrono::milliseconds(2500)));
  EXPECT_EQ(program.out(), "");
  openSession();
  EXPECT_EQ(program.waitExit(std::chrono::seconds(3)), 64);
  EXPECT_EQ(withoutLogLines(program.err()),
            std::string("Error: Unknown option '--x'\n") + kUsageTail);
}

TEST_F(BrellisProgramTest, HelpAndUsageErrorsHaveTheirExactTextsStreamsAndStatuses) {
  openSession();
  struct Case {
    std::vector<std::string> arguments;
    int status;
    std::string out;
    std::string err;
    std::map<std::string, std::string> environment = {};
  };
  const std::string help = std::string(kHelp) + "\n";
  const auto error = [](const std::string& message) {
    return "Error: " + message + "\n" + kUsageTail;
  };
  const std::string noValue =
      "The option '--check-bluetooth-access' does not take any value, but 'x' was specified.";
  const std::string suggestion = ". Did you mean '--check-bluetooth-access'?";
  const std::string useShell =
      "\nPlease use --generate-completion-script=<shell> with one of:\n    zsh bash fish";
  const std::vector<Case> cases = {
      // Help: wherever -h or --help appears before "--", also as a letter of a group of short
      // names, and before the unknown option and the JSON description.
      {{"--help"}, 0, help, ""},
      {{"-h"}, 0, help, ""},
      {{"-help"}, 0, help, ""},
      {{"-qh"}, 0, help, ""},
      {{"--bogus", "--check-bluetooth-access", "--check-bluetooth-access", "--help"}, 0, help, ""},
      {{"--help", "--experimental-dump-help"}, 0, help, ""},
      {{"--experimental-dump-help", "-h"}, 0, help, ""},
      {{"--", "--help"}, 64, "", error("Unexpected argument '--help'")},
      // A value given to the flag is reported before help is looked for.
      {{"--check-bluetooth-access=x"}, 64, "", error(noValue)},
      {{"--check-bluetooth-access=x", "--help"}, 64, "", error(noValue)},
      // Unknown options: named without their value, reported before unexpected arguments, with
      // a suggestion for a long name fewer than four edits from the flag's.
      {{"--x"}, 64, "", error("Unknown option '--x'")},
      {{"--x=5"}, 64, "", error("Unknown option '--x'")},
      {{"-q"}, 64, "", error("Unknown option '-q'")},
      {{"foo", "--x"}, 64, "", error("Unknown option '--x'")},
      {{"--check-bluetooth-acess"},
       64,
       "",
       error("Unknown option '--check-bluetooth-acess'" + suggestion)},
      {{"--check-bluetooth-acc=1"},
       64,
       "",
       error("Unknown option '--check-bluetooth-acc'" + suggestion)},
      {{"--check-bluetooth-ac"}, 64, "", error("Unknown option '--check-bluetooth-ac'")},
      // Unexpected arguments: one by name, several counted.
      {{"foo"}, 64, "", error("Unexpected argument 'foo'")},
      {{"foo", "bar"}, 64, "", error("2 unexpected arguments: 'foo', 'bar'")},
      {{"--", "--check-bluetooth-access"},
       64,
       "",
       error("Unexpected argument '--check-bluetooth-access'")},
      // Completion scripts for a shell that has none, named or taken from $SHELL.
      {{"--generate-completion-script", "powershell"},
       64,
       "",
       error("Can't generate completion scripts for 'powershell'." + useShell),
       {{"SHELL", "/bin/bash"}}},
      {{"--generate-completion-script"},
       64,
       "",
       error("Can't autodetect a supported shell." + useShell),
       {{"SHELL", "/bin/sh"}}},
  };
  int index = 0;
  for (const auto& c : cases) {
    std::string label;
    for (const auto& argument : c.arguments) label += argument + " ";
    Child program = brellis("case" + std::to_string(index++), c.arguments, c.environment);
    EXPECT_EQ(program.waitExit(), c.status) << label;
    EXPECT_EQ(program.out(), c.out) << label;
    EXPECT_EQ(withoutLogLines(program.err()), c.err) << label;
  }
}

TEST_F(BrellisProgramTest, CompletionScriptsLoadInTheirShellsAndTheJsonNamesTheFlag) {
  openSession();
  std::set<std::string> scripts;
  for (const std::string shell : {"bash", "zsh", "fish"}) {
    Child named =
        brellis("script-" + shell, {"--generate-completion-script", shell}, {{"SHELL", "/bin/sh"}});
    ASSERT_EQ(named.waitExit(), 0) << shell;
    EXPECT_EQ(withoutLogLines(named.err()), "") << shell;
    // Without a shell named, the last part of $SHELL names it.
    Child detected = brellis("detected-" + shell, {"--generate-completion-script"},
                             {{"SHELL", "/usr/local/bin/" + shell}});
    ASSERT_EQ(detected.waitExit(), 0) << shell;
    EXPECT_EQ(detected.out(), named.out()) << shell;
    scripts.insert(named.out());
    fs::copy_file(run() / ("script-" + shell + ".out"), run() / ("brellis." + shell));
  }
  EXPECT_EQ(scripts.size(), 3u);
  // bash: `brellis --<TAB>` offers the flag, `brellis --ch<TAB>` completes to it alone.
  const std::string bashScript = (run() / "brellis.bash").string();
  Child bash(run(), "bash",
             {"/bin/bash", "-c",
              "source '" + bashScript +
                  "'; for cur in -- --ch; do COMP_WORDS=(brellis $cur); COMP_CWORD=1; _brellis; "
                  "echo \"${COMPREPLY[*]}\"; done"});
  ASSERT_EQ(bash.waitExit(), 0) << bash.err();
  EXPECT_EQ(bash.out(), "--check-bluetooth-access --help\n--check-bluetooth-access\n");

  for (const auto& [shell, command] : std::vector<std::pair<std::string, std::string>>{
           // compinit would scan every completion function of the system; a stand-in compdef
           // shows what the script registers.
           {"/usr/bin/zsh", "compdef() { echo \"compdef $*\"; }; source '" +
                                (run() / "brellis.zsh").string() +
                                "' && functions _brellis >/dev/null && echo loaded"},
           {"/usr/bin/fish",
            "source '" + (run() / "brellis.fish").string() + "'; and complete -C'brellis --ch'"}}) {
    // scripts/install-deps.sh installs both shells: a missing one is a broken set-up.
    ASSERT_TRUE(fs::exists(shell)) << shell << " is missing";
    Child loader(run(), "loader",
                 {shell, shell == "/usr/bin/zsh" ? "-f" : "--no-config", "-c", command});
    EXPECT_EQ(loader.waitExit(), 0) << shell << loader.err();
    EXPECT_EQ(loader.err(), "") << shell;
    EXPECT_EQ(loader.out(), shell == "/usr/bin/zsh" ? "compdef _brellis brellis\nloaded\n"
                                                    : "--check-bluetooth-access\n")
        << shell;
  }

  Child dump = brellis("dump", {"--experimental-dump-help"});
  ASSERT_EQ(dump.waitExit(), 0);
  auto json = nlohmann::json::parse(dump.out());
  const auto& command = json.at("command");
  EXPECT_EQ(command.at("commandName"), "brellis");
  EXPECT_EQ(command.at("abstract"), "Background process used with Velkor Unlock.");
  EXPECT_EQ(command.at("usage"), "brellis [--check-bluetooth-access]");
  EXPECT_EQ(command.at("arguments").at(0).at("names").at(0).at("name"), "check-bluetooth-access");
  EXPECT_EQ(command.at("arguments").at(0).at("kind"), "flag");
  EXPECT_EQ(command.at("arguments").at(1).at("abstract"), "Show help information.");
}

TEST_F(BrellisProgramTest, CheckModeLogsTheStateAndLeavesNothingBehind) {
  openSession();
  ASSERT_TRUE(SimulatedRadio::install(radio_));
  startDaemon();
  Child program = brellis("check", {"--check-bluetooth-access"},
                          {{"BRELLIS_LOG_LEVEL", "debug"}, {"BRELLIS_LOG_STDERR", "1"}});
  EXPECT_EQ(program.waitExit(), 0);
  EXPECT_NE(program.err().find(":bluetooth] <debug> bluetooth state is 5\n"), std::string::npos)
      << program.err();
  EXPECT_FALSE(fs::exists(root_.path() / "defaults"));
  EXPECT_FALSE(fs::exists(root_.path() / "token"));
  // No launch check reached the daemon and no endpoint was registered.
  EXPECT_TRUE(daemonCalls().empty());
  EXPECT_EQ(program.out(), "");
}

TEST_F(BrellisProgramTest, AFailedLaunchCheckEndsTheProcessWithStatusZero) {
  openSession();
  startDaemon({{"unlockDataWithCompletion:",
                {{"mode", "error"}, {"errorDomain", "TestError"}, {"errorCode", 9}}}});
  Child program =
      brellis("disabled", {}, {{"BRELLIS_LOG_LEVEL", "debug"}, {"BRELLIS_LOG_STDERR", "1"}});
  EXPECT_EQ(program.waitExit(), 0);
  EXPECT_NE(program.err().find("Disabling Velkor Unlock"), std::string::npos) << program.err();
  EXPECT_FALSE(daemonWasCalled("registerBrellisListenerEndpoint:completion:"));
}

// One serving program: the launch check succeeds, the endpoint reaches the daemon, and the
// beacon rules hold across processes with a run shortened to `kRun`.
TEST_F(BrellisProgramTest, ServesBeaconsThroughTheEndpointRegisteredWithTheDaemon) {
  // Long enough for a few client processes to start and call within one run; sanitizer builds
  // start processes several times slower.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  constexpr auto kRun = std::chrono::milliseconds(12000);
#else
  constexpr auto kRun = std::chrono::milliseconds(2500);
#endif
  openSession();
  ASSERT_TRUE(SimulatedRadio::install(radio_));
  startDaemon();
  Child program = brellis("serving", {},
                          {{"BRELLIS_LOG_LEVEL", "debug"},
                           {"BRELLIS_LOG_STDERR", "1"},
                           {"BRELLIS_BEACON_RUN_SECONDS",
                            std::to_string(std::chrono::duration<double>(kRun).count())}});
  ASSERT_TRUE(waitFor([&] {
    return daemonWasCalled("registerBrellisListenerEndpoint:completion:");
  })) << program.err();
  EXPECT_FALSE(program.exited());
  const auto noneOnAir = [&] { return waitFor([&] { return advertsOnAir() == 0; }, 2 * kRun); };
  // Runs begun so far. A run logs this once its start is stored; the advert goes on air earlier,
  // at the radio's report, so a stop or a newer start sent on seeing it may find nothing pending.
  const auto runsBegun = [&] {
    return brellis::testing::occurrences(program.err(), "Scheduling stop after");
  };

  // Start then stop: success at the stop; the advert stays on air to the end of its run. The
  // account reached the daemon, and the beacon carries the account's container identifier.
  {
    const size_t before = runsBegun();
    Child start = client("start1", {"start", "alice"});
    ASSERT_TRUE(waitFor([&] { return advertsOnAir() == 1 && runsBegun() > before; }))
        << program.err();
    EXPECT_EQ(payloadsOnAir(), std::vector<std::string>{beaconOf(kContainer)});
    EXPECT_EQ(accountsFetched(), std::vector<std::string>{"alice"});
    EXPECT_FALSE(start.exited());
    Child stop = client("stop1", {"stop"});
    ASSERT_EQ(stop.waitExit(), 0) << stop.err();
    ASSERT_EQ(start.waitExit(), 0) << start.err();
    EXPECT_EQ(start.reply()["reply"], "success");
    EXPECT_EQ(stop.reply()["reply"], "success");
    EXPECT_EQ(advertsOnAir(), 1u);
    ASSERT_TRUE(noneOnAir());
  }
  // Stop with nothing pending: only its own reply, and the log line.
  {
    Child stop = client("stop2", {"stop"});
    ASSERT_EQ(stop.waitExit(), 0);
    EXPECT_EQ(stop.reply()["reply"], "success");
    EXPECT_NE(
        program.err().find("[Brellis:VelkorBrellisXPCSession] <debug> stopBeacon(completion:)"),
        std::string::npos);
  }
  // Start alone: timedOut (code 2) when the run ends.
  {
    auto began = std::chrono::steady_clock::now();
    Child start = client("start2", {"start", "alice"});
    ASSERT_EQ(start.waitExit(), 0) << start.err();
    EXPECT_GE(std::chrono::steady_clock::now() - began, kRun);
    auto reply = start.reply();
    EXPECT_EQ(reply["domain"], "Brellis.BeaconError");
    EXPECT_EQ(reply["code"], 2);
    ASSERT_TRUE(noneOnAir());
  }
  // Start A then B: A canceled at once; B timedOut when A's run ends; B's advert stays on air.
  {
    const size_t before = runsBegun();
    Child a = client("startA", {"start", "alice"});
    ASSERT_TRUE(waitFor([&] { return advertsOnAir() == 1 && runsBegun() > before; }));
    Child b = client("startB", {"start", "bob"});
    ASSERT_EQ(a.waitExit(), 0);
    EXPECT_EQ(a.reply()["code"], 3);
    EXPECT_FALSE(b.exited());
    ASSERT_EQ(b.waitExit(), 0);
    EXPECT_EQ(b.reply()["code"], 2);
    EXPECT_EQ(advertsOnAir(), 1u);  // B's run has not ended yet
    EXPECT_EQ(accountsFetched().back(), "bob");
    ASSERT_TRUE(noneOnAir());
  }
  // B's daemon call fails while A is pending: A canceled, B gets the daemon's own error, A's
  // advert goes on.
  {
    const size_t before = runsBegun();
    Child a = client("startA2", {"start", "alice"});
    ASSERT_TRUE(waitFor([&] { return advertsOnAir() == 1 && runsBegun() > before; }));
    setScript(
        {{kStartSelector, {{"mode", "error"}, {"errorDomain", "TestError"}, {"errorCode", 7}}}});
    Child b = client("startB2", {"start", "bob"});
    ASSERT_EQ(b.waitExit(), 0);
    ASSERT_EQ(a.waitExit(), 0);
    EXPECT_EQ(a.reply()["code"], 3);
    EXPECT_EQ(b.reply()["domain"], "TestError");
    EXPECT_EQ(b.reply()["code"], 7);
    EXPECT_EQ(advertsOnAir(), 1u);
    EXPECT_NE(program.err().find("startBeacon(forAccount:completion:): TestError 7: "),
              std::string::npos);
    ASSERT_TRUE(noneOnAir());
  }
  // A container identifier that is not a UUID.
  {
    setScript({{kStartSelector, {{"reply", {{{"data", hex(archive("not-a-uuid"))}}, nullptr}}}}});
    Child start = client("corrupt", {"start", "alice"});
    ASSERT_EQ(start.waitExit(), 0) << start.err();
    auto reply = start.reply();
    EXPECT_EQ(reply["domain"], "Brellis.BeaconError");
    EXPECT_EQ(reply["code"], 0);
    EXPECT_EQ(reply["debugDescription"], "corruptContainerUUIDString(\"not-a-uuid\")");
    EXPECT_NE(program.err().find("startBeacon(forAccount:completion:): Brellis.BeaconError 0: "
                                 "corruptContainerUUIDString(\"not-a-uuid\"): The operation "
                                 "couldn’t be completed. (Brellis.BeaconError error 0.)"),
              std::string::npos);
    EXPECT_EQ(advertsOnAir(), 0u);
  }
  // Two clients at once, for the wiring: both are answered, one canceled and one timed out
  // (that the overlap of their fetches is handled so: the session's own test, in process).
  {
    setScript({{kStartSelector, {{"delayMs", 400}}}});
    Child a = client("overlapA", {"start", "alice"});
    Child b = client("overlapB", {"start", "bob"});
    ASSERT_EQ(a.waitExit(), 0);
    ASSERT_EQ(b.waitExit(), 0);
    std::multiset<int> codes = {a.reply()["code"].get<int>(), b.reply()["code"].get<int>()};
    EXPECT_EQ(codes, (std::multiset<int>{2, 3}));
  }
  EXPECT_FALSE(program.exited());
  program.terminate();
}

}  // namespace
}  // namespace brellis::login_app::program
