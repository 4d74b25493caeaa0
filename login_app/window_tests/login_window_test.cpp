// The login window across processes: `brellis` started at a login window whose managed settings
// ask for the feature, with the test daemon reporting it enabled, shows the window drawn on;
// taps sent with brellis-tap switch it off through the track only.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>

#include "connectivity/pairing_identity.h"
#include "group_defaults/group_defaults.h"
#include "login_app/unlock_settings.h"
#include "platform/app_kit/bitmap.h"
#include "platform/app_kit/window_server.h"
#include "platform/crypto_token_kit/test_support/test_certificates.h"
#include "platform/crypto_token_kit/tk_token_driver_configuration.h"
#include "platform/foundation/plist_codec.h"
#include "testing/support/temporary_state_root.h"
#include "testing/support/wait_until.h"
#include "token_host/unlock_archive.h"

namespace brellis::login_app {
namespace {

namespace fs = std::filesystem;
using platform::app_kit::Bitmap;
using platform::app_kit::WindowServer;
using platform::foundation::Bytes;
using Pixel = std::array<uint8_t, 4>;

constexpr const char* kBrellisClass = "com.velkor.tarvo.brellis.token";
constexpr const char* kSetStatus = "setUnlockStatus:completion:";
constexpr Pixel kBlue{0, 122, 255, 255};
constexpr Pixel kOffGrey{51, 51, 51, 255};

bool waitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  return brellis::testing::waitUntil(condition, timeout, std::chrono::milliseconds(10));
}

std::string readText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A program with its output in a file, killed at the end of the test.
class Process {
 public:
  Process(const fs::path& log, std::vector<std::string> argv) : log_(log) {
    // Made before the fork: between fork and exec the child makes only async-signal-safe calls.
    std::vector<char*> args;
    for (auto& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(out, STDOUT_FILENO);
      ::dup2(out, STDERR_FILENO);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
  }
  ~Process() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  std::string output() const { return readText(log_); }

 private:
  pid_t pid_ = -1;
  fs::path log_;
};

// The track's box in a drawn window: the pixels of `color`, widened by the knob's travel.
struct Box {
  int minX = 1 << 20, maxX = -1;
  bool empty() const { return maxX < 0; }
};
Box pixelsOf(const Bitmap& bitmap, Pixel color) {
  Box box;
  for (int y = 0; y < bitmap.height(); ++y) {
    for (int x = 0; x < bitmap.width(); ++x) {
      if (bitmap.pixel(x, y) == color) {
        box.minX = std::min(box.minX, x);
        box.maxX = std::max(box.maxX, x);
      }
    }
  }
  return box;
}

class LoginWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(root_.path() / "run");
    fs::create_directories(WindowServer::directory());
    std::ofstream(root_.path() / "window_server" / "session") << "\n";
    std::ofstream(WindowServer::screensPath()) << "0 0 1440 900\n";
    ASSERT_TRUE(
        platform::crypto_token_kit::TKTokenDriverConfiguration::registerDriverClass(kBrellisClass));
    // The managed settings ask for the feature at login; the right lacks the maker's mechanism.
    platform::foundation::PlistDict unlock;
    unlock.set(UnlockSettings::kEnableUnlockForLoginKey, platform::foundation::PlistValue(true));
    platform::foundation::Defaults::open(UnlockSettings::kSuiteName)
        ->set(UnlockSettings::kSettingsKey, platform::foundation::PlistValue(unlock));
    const fs::path tool = root_.path() / "bin" / "security";
    fs::create_directories(tool.parent_path());
    std::ofstream(tool) << "#!/bin/sh\ncat <<'EOF'\n<plist version=\"1.0\"><dict><key>mechanisms"
                           "</key><array><string>builtin:policy-banner</string></array></dict>"
                           "</plist>\nEOF\n";
    ::chmod(tool.c_str(), 0755);
    certificate_ = platform::crypto_token_kit::test_support::makeTestCertificate(
                       platform::crypto_token_kit::test_support::TestKeyKind::p256)
                       .der;
    // Stored already, so the toggle's enabling never races the launch check's rewrite.
    group_defaults::GroupDefaults::init(group_defaults::GroupDefaults::name)
        ->set(platform::foundation::PlistValue(certificate_),
              group_defaults::GroupDefaults::Key::certificate);
  }

  void startDaemon() {
    const fs::path ca = root_.path() / "ca";
    ASSERT_EQ(brellis::testing::runProgram(BRELLIS_CODESIGN, {"make-ca", ca.string()}), 0);
    ASSERT_EQ(brellis::testing::runProgram(BRELLIS_CODESIGN,
                                           {"install-anchor", ca.string(), root_.path().string()}),
              0);
    const fs::path daemon = root_.path() / "bin" / "brellis-test-daemon";
    fs::copy_file(BRELLIS_TEST_DAEMON, daemon);
    ASSERT_EQ(brellis::testing::runProgram(BRELLIS_CODESIGN, {"sign", ca.string(), daemon.string(),
                                                              "com.velkor.tarvo.daemon", "2.1"}),
              0);
    auto write = [&](const char* name, const Bytes& bytes) {
      std::ofstream(root_.path() / name, std::ios::binary)
          .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
    };
    write("data.archive",
          token_host::archiveUnlockData(token_host::UnlockData(
              certificate_, false, "5B0F7F2E-8C1D-4C33-9D7E-0A1B2C3D4E5F", "BrellisDriver",
              {connectivity::PairingIdentity("PHONE-1", "Phone", Bytes{9, 8, 7}, Bytes{1})},
              connectivity_protocol::UnlockVersion::unlock_1_2_0)));
    write("status.archive", token_host::archiveUnlockStatus({true}));
    daemon_ = std::make_unique<Process>(
        root_.path() / "run" / "daemon.log",
        std::vector<std::string>{daemon.string(), "--unlock-data",
                                 (root_.path() / "data.archive").string(), "--unlock-status",
                                 (root_.path() / "status.archive").string()});
    ASSERT_TRUE(waitFor([&] { return fs::exists(root_.path() / "test_daemon" / "ready"); }));
  }

  // The statuses the daemon was told, in order.
  std::vector<bool> statusesSent() const {
    std::vector<bool> statuses;
    std::istringstream lines(readText(root_.path() / "test_daemon" / "calls.jsonl"));
    std::string line;
    while (std::getline(lines, line)) {
      auto call = nlohmann::json::parse(line);
      if (call["selector"] != kSetStatus) continue;
      const std::string hex = call["arguments"][0]["data"];
      statuses.push_back(hex == hexOf(token_host::archiveUnlockStatus({true})));
    }
    return statuses;
  }
  static std::string hexOf(const Bytes& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string text;
    for (auto byte : bytes) {
      text += digits[byte >> 4];
      text += digits[byte & 15];
    }
    return text;
  }
  bool configured() const {
    auto classes = platform::crypto_token_kit::TKTokenDriverConfiguration::driverConfigurations();
    auto found = classes.find(kBrellisClass);
    return found != classes.end() && found->second.tokenConfigurations().count("UnlockToken");
  }
  std::optional<fs::path> windowFile(const char* extension) const {
    std::error_code error;
    for (fs::directory_iterator it(WindowServer::windowsDirectory(), error), end;
         !error && it != end; it.increment(error)) {
      if (it->path().extension() == extension) return it->path();
    }
    return std::nullopt;
  }
  std::optional<Bitmap> drawn() const {
    auto png = windowFile(".png");
    return png ? Bitmap::readPng(*png) : std::nullopt;
  }
  void tap(double x, double y) {
    ASSERT_EQ(brellis::testing::runProgram(BRELLIS_TAP, {std::to_string(x), std::to_string(y)}), 0);
  }

  brellis::testing::TemporaryStateRoot root_;
  Bytes certificate_;
  std::unique_ptr<Process> daemon_;
};

TEST_F(LoginWindowTest, ShownOnThenATapOnTheTrackSwitchesOffAndTheLabelDoesNothing) {
  startDaemon();
  Process brellis(root_.path() / "run" / "brellis.log", {BRELLIS_PROGRAM});
  ASSERT_TRUE(waitFor([&] { return windowFile(".plist").has_value(); }));
  ASSERT_TRUE(waitFor([&] { return configured(); })) << brellis.output();
  ASSERT_TRUE(waitFor([&] { return statusesSent() == std::vector<bool>{true}; }))
      << brellis.output();

  auto bytes = readText(*windowFile(".plist"));
  auto record = platform::foundation::readPlist(Bytes(bytes.begin(), bytes.end()));
  const auto* frame = record.dict()->find("frame")->dict();
  EXPECT_EQ(frame->find("x")->real(), 599.0);
  EXPECT_EQ(frame->find("y")->real(), 814.0);
  EXPECT_EQ(frame->find("width")->real(), 242.0);
  EXPECT_EQ(frame->find("height")->real(), 42.0);
  EXPECT_EQ(record.dict()->find("sharingType")->int64(), 0);
  EXPECT_EQ(record.dict()->find("canBecomeVisibleWithoutLogin")->boolean(), true);
  EXPECT_EQ(record.dict()->find("styleMask")->int64(), 0);
  EXPECT_EQ(record.dict()->find("backing")->int64(), 2);
  EXPECT_EQ(record.dict()->find("level")->int64(), 0);
  const auto* background = record.dict()->find("backgroundColor")->dict();
  EXPECT_EQ(background->find("a")->real(), 0.0);

  // Drawn on: the blue part of the track is left of the knob.
  Box on;
  ASSERT_TRUE(waitFor([&] {
    auto bitmap = drawn();
    if (!bitmap) return false;
    on = pixelsOf(*bitmap, kBlue);
    return !on.empty() && pixelsOf(*bitmap, kOffGrey).empty();
  })) << brellis.output();
  // The track spans from the blue's left edge 38 points; the label lies left of it.
  const double trackMinX = on.minX;
  tap(trackMinX - 60, 21);  // the label
  tap(trackMinX + 4, 21);   // the track
  ASSERT_TRUE(waitFor([&] { return !configured(); })) << brellis.output();
  ASSERT_TRUE(waitFor([&] {
    return statusesSent() == std::vector<bool>{true, false};
  })) << brellis.output();
  ASSERT_TRUE(waitFor([&] {
    auto bitmap = drawn();
    return bitmap && pixelsOf(*bitmap, kBlue).empty() && !pixelsOf(*bitmap, kOffGrey).empty();
  })) << brellis.output();
  Box off = pixelsOf(*drawn(), kOffGrey);
  EXPECT_GT(off.maxX, trackMinX + 30);  // the grey shows right of the knob now
  EXPECT_FALSE(configured());
}

}  // namespace
}  // namespace brellis::login_app
