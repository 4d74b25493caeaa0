#include "login_app/launch_check.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "connectivity/peer_defaults.h"
#include "group_defaults/group_defaults.h"
#include "login_app/host_tests/host_test_support.h"
#include "login_app/program_log.h"
#include "login_app/stored_unlock_data.h"
#include "platform/crypto_token_kit/test_support/test_certificates.h"
#include "platform/crypto_token_kit/tk_token_driver_configuration.h"
#include "platform/dispatch/task.h"
#include "platform/foundation/defaults.h"
#include "platform/os_log/logger.h"
#include "testing/support/temporary_state_root.h"
#include "token_host/group_defaults_writer.h"
#include "token_host/unlock_archive.h"

namespace brellis::login_app {
namespace {

namespace ctk = platform::crypto_token_kit;
namespace fs = std::filesystem;
using group_defaults::GroupDefaults;
using platform::foundation::Bytes;

constexpr const char* kLogFile = "/tmp/velkor_brellis.log";
constexpr const char* kBrellisClass = "com.velkor.tarvo.brellis.token";

int runTool(const std::vector<std::string>& args) {
  return brellis::testing::runProgram(args[0],
                                      std::vector<std::string>(args.begin() + 1, args.end()));
}

void writeFile(const fs::path& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
}

// The messages this process wrote to the shared log file after `offset`, as
// "<category>: <message>".
std::vector<std::string> logLinesSince(std::uintmax_t offset) {
  std::ifstream file(kLogFile, std::ios::binary);
  file.seekg(static_cast<std::streamoff>(offset));
  std::vector<std::string> lines;
  const std::string marker = " [" + programLogSubsystem() + "] - ";
  std::string line;
  while (std::getline(file, line)) {
    auto at = line.find(marker);
    if (at == std::string::npos) continue;
    std::string rest = line.substr(at + marker.size());  // "<level> - <category>: <message>"
    auto dash = rest.find(" - ");
    if (dash != std::string::npos) lines.push_back(rest.substr(dash + 3));
  }
  return lines;
}

// The token host's info lines saying it copies the unlock data into the group defaults.
long groupDefaultsWrites(const platform::os_log::CaptureSink& sink) {
  auto records = sink.records();
  return std::count_if(records.begin(), records.end(), [](const platform::os_log::LogRecord& r) {
    return r.category == "TokenUtilities" && r.level == platform::os_log::LogLevel::info &&
           r.text == "Set group defaults to match Unlock data";
  });
}

std::uintmax_t logSize() {
  std::error_code error;
  auto size = fs::file_size(kLogFile, error);
  return error ? 0 : size;
}

class LaunchCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::ensureMainQueue();
    certificate_ = ctk::test_support::makeTestCertificate(ctk::test_support::TestKeyKind::p384).der;
    data_ = std::make_unique<token_host::UnlockData>(test::sampleUnlockData(certificate_));
    // A daemon signed by a test authority that the state root trusts.
    const fs::path ca = root_.path() / "ca";
    ASSERT_EQ(runTool({BRELLIS_CODESIGN, "make-ca", ca.string()}), 0);
    ASSERT_EQ(runTool({BRELLIS_CODESIGN, "install-anchor", ca.string(), root_.path().string()}), 0);
    daemonPath_ = root_.path() / "bin" / "brellis-test-daemon";
    fs::create_directories(daemonPath_.parent_path());
    fs::copy_file(BRELLIS_TEST_DAEMON, daemonPath_);
    ASSERT_EQ(runTool({BRELLIS_CODESIGN, "sign", ca.string(), daemonPath_.string(),
                       "com.velkor.tarvo.daemon", "2.1"}),
              0);
    writeFile(root_.path() / "unlock-data.archive", token_host::archiveUnlockData(*data_));
    writeFile(root_.path() / "unlock-status.archive", token_host::archiveUnlockStatus({false}));
    // An installed configuration that the disable path must remove.
    ASSERT_TRUE(ctk::TKTokenDriverConfiguration::registerDriverClass(kBrellisClass));
    ctk::TKTokenDriverConfiguration::driverConfigurations()
        .at(kBrellisClass)
        .addTokenConfigurationForTokenInstanceID("UnlockToken");
  }
  void TearDown() override {
    if (daemonPid_ > 0) {
      ::kill(daemonPid_, SIGTERM);
      ::waitpid(daemonPid_, nullptr, 0);
    }
  }
  void startDaemon(const std::string& script = "{}") {
    fs::create_directories(root_.path() / "test_daemon");
    std::ofstream(root_.path() / "test_daemon" / "script.json") << script;
    // Everything the child needs is made before the fork: between fork and exec a child of
    // this multithreaded process may only make async-signal-safe calls.
    const std::string exe = daemonPath_.string();
    const std::string data = (root_.path() / "unlock-data.archive").string();
    const std::string status = (root_.path() / "unlock-status.archive").string();
    daemonPid_ = ::fork();
    if (daemonPid_ == 0) {
      // The daemon ends with this test process, and keeps its output away from the test's.
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, STDOUT_FILENO);
      ::dup2(null, STDERR_FILENO);
      ::execl(exe.c_str(), exe.c_str(), "--unlock-data", data.c_str(), "--unlock-status",
              status.c_str(), nullptr);
      ::_exit(127);
    }
    ASSERT_TRUE(
        test::waitUntil([&] { return fs::exists(root_.path() / "test_daemon" / "ready"); }));
  }
  bool check() {
    offset_ = logSize();
    return platform::dispatch::blockOn(platform::dispatch::globalExecutor(), launchCheck());
  }
  bool tokenInstalled() {
    return ctk::TKTokenDriverConfiguration::driverConfigurations()
               .at(kBrellisClass)
               .tokenConfigurations()
               .count("UnlockToken") == 1;
  }
  fs::path suiteFile() const {
    return platform::foundation::Defaults::directory() / "group.com.velkor.tarvo.plist";
  }
  // `peersMayReturn`: when the daemon still hands out its unlock data, the token manager made on
  // the disable path recreates the two peers in its own task, possibly after the suite was
  // cleared; the unlock values stay gone either way.
  void expectDisabled(bool result, bool peersMayReturn = false) {
    EXPECT_FALSE(result);
    auto lines = logLinesSince(offset_);
    // The launch check disables once; the token manager it made may disable once more on its own
    // when it learns the daemon's status (false here), and may do so before these lines are read.
    EXPECT_GE(std::count(lines.begin(), lines.end(), "TokenManager: Disabling Velkor Unlock"), 1);
    for (const auto& line : lines) {
      EXPECT_EQ(line.find("main: "), std::string::npos) << line;
    }
    EXPECT_FALSE(tokenInstalled());
    if (peersMayReturn) {
      auto suite = GroupDefaults::init(GroupDefaults::name);
      for (auto key :
           {GroupDefaults::Key::certificate, GroupDefaults::Key::requirePIN,
            GroupDefaults::Key::pairingIdentities, GroupDefaults::Key::enableUnlockForLogin,
            GroupDefaults::Key::unlockVersion}) {
        EXPECT_FALSE(suite->object(key).has_value()) << GroupDefaults::rawValue(key);
      }
    } else {
      EXPECT_FALSE(fs::exists(suiteFile()));
      EXPECT_FALSE(connectivity::PeerDefaults::getPeer("ContainerPeer").has_value());
      EXPECT_FALSE(connectivity::PeerDefaults::getPeer("DriverPeer").has_value());
    }
    // The token manager made on the way keeps fetching in its own task; let it end.
    test::waitUntil([&] {
      auto later = logLinesSince(offset_);
      return std::find(later.begin(), later.end(), "TokenManager: checking Unlock status") !=
             later.end();
    });
  }
  void storeMatchingRecord() {
    token_host::setGroupDefaults(*data_);
    connectivity::PeerDefaults::makePeer(data_->containerID(), "ContainerPeer");
    connectivity::PeerDefaults::makePeer(data_->driverID(), "DriverPeer");
    ASSERT_EQ(storedUnlockData(GroupDefaults::init(GroupDefaults::name)), *data_);
  }

  brellis::testing::TemporaryStateRoot root_;
  Bytes certificate_;
  std::unique_ptr<token_host::UnlockData> data_;
  fs::path daemonPath_;
  pid_t daemonPid_ = -1;
  std::uintmax_t offset_ = 0;
};

TEST_F(LaunchCheckTest, UnreachableDaemonDisables) {
  storeMatchingRecord();
  expectDisabled(check());
}

TEST_F(LaunchCheckTest, UnlockDataErrorDisables) {
  storeMatchingRecord();
  startDaemon(R"({"unlockDataWithCompletion:": {"mode": "error", "errorDomain": "D",
                  "errorCode": 9}})");
  expectDisabled(check());
}

TEST_F(LaunchCheckTest, StatusErrorDisables) {
  storeMatchingRecord();
  startDaemon(R"({"unlockStatusWithCompletion:": {"mode": "error", "errorDomain": "D",
                  "errorCode": 9}})");
  expectDisabled(check(), /*peersMayReturn=*/true);
}

TEST_F(LaunchCheckTest, EqualStoredRecordTouchesNothing) {
  platform::os_log::ScopedLogCapture capture;
  storeMatchingRecord();
  startDaemon();
  struct stat before {};
  ASSERT_EQ(::stat(suiteFile().c_str(), &before), 0);
  EXPECT_TRUE(check());
  EXPECT_EQ(logLinesSince(offset_), (std::vector<std::string>{"main: Unlock is in use for login",
                                                              "main: Launching Brellis app"}));
  struct stat after {};
  ASSERT_EQ(::stat(suiteFile().c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_TRUE(tokenInstalled());
  EXPECT_EQ(groupDefaultsWrites(capture.sink()), 1);  // storeMatchingRecord's own
}

TEST_F(LaunchCheckTest, AbsentOrDifferentRecordIsRewritten) {
  platform::os_log::ScopedLogCapture capture;
  startDaemon();
  EXPECT_TRUE(check());
  EXPECT_EQ(groupDefaultsWrites(capture.sink()), 1);
  const std::vector<std::string> expected{"main: Unlock is in use for login",
                                          "main: Setting group defaults to match Unlock data",
                                          "main: Launching Brellis app"};
  EXPECT_EQ(logLinesSince(offset_), expected);
  auto suite = GroupDefaults::init(GroupDefaults::name);
  EXPECT_EQ(suite->data(GroupDefaults::Key::certificate), certificate_);
  EXPECT_EQ(suite->object(GroupDefaults::Key::requirePIN), platform::foundation::PlistValue(false));
  EXPECT_TRUE(suite->boolean(GroupDefaults::Key::enableUnlockForLogin));
  EXPECT_EQ(suite->integer(GroupDefaults::Key::unlockVersion), 1);
  EXPECT_TRUE(suite->data(GroupDefaults::Key::pairingIdentities).has_value());
  EXPECT_TRUE(tokenInstalled());

  // A stored record that differs (here: peers present but another version) is rewritten too,
  // and the rewrite removes both peers.
  storeMatchingRecord();
  suite->set(int64_t{0}, GroupDefaults::Key::unlockVersion);
  capture.sink().clear();
  EXPECT_TRUE(check());
  EXPECT_EQ(groupDefaultsWrites(capture.sink()), 1);
  EXPECT_EQ(logLinesSince(offset_), expected);
  EXPECT_EQ(suite->integer(GroupDefaults::Key::unlockVersion), 1);
  EXPECT_FALSE(connectivity::PeerDefaults::getPeer("ContainerPeer").has_value());
  EXPECT_FALSE(connectivity::PeerDefaults::getPeer("DriverPeer").has_value());
}

}  // namespace
}  // namespace brellis::login_app
