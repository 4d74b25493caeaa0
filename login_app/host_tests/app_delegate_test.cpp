#include "login_app/app_delegate.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <limits>

#include "login_app/host_tests/host_test_support.h"
#include "login_app/show_decision.h"
#include "login_app/unlock_settings.h"
#include "platform/app_kit/main_queue.h"
#include "platform/app_kit/window_server.h"
#include "platform/dispatch/task.h"
#include "platform/foundation/decoding_error.h"
#include "platform/foundation/defaults.h"
#include "platform/foundation/state_root.h"
#include "platform/os_log/logger.h"
#include "testing/support/temporary_state_root.h"
#include "testing/support/wait_until.h"

namespace brellis::login_app {
namespace {

using platform::foundation::PlistDict;
using platform::foundation::PlistValue;
using platform::os_log::LogLevel;
using Right = AuthorizationDBSystemLoginConsole;

constexpr const char* kRightWith = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>class</key>
	<string>evaluate-mechanisms</string>
	<key>mechanisms</key>
	<array>
		<string>builtin:policy-banner</string>
		<string>MECHANISM</string>
		<string>loginwindow:done</string>
	</array>
	<key>tries</key>
	<integer>10000</integer>
</dict>
</plist>
)";

using test::ensureMainQueue;
using test::onMain;

class EmptyContent : public platform::app_kit::RootView {
 public:
  platform::app_kit::View body(platform::app_kit::HostingView&) override {
    return platform::app_kit::ZStack({});
  }
};

class AppDelegateTest : public ::testing::Test {
 protected:
  void SetUp() override { ensureMainQueue(); }
  void TearDown() override {
    onMain([&] { delegate_.reset(); });
  }

  // The security tool's stand-in: a shell script below the state root.
  void setTool(const std::string& script) {
    auto path = Right::toolPath();
    platform::foundation::ensureDirectory(path.parent_path());
    std::ofstream(path) << "#!/bin/sh\n" << script;
    ::chmod(path.c_str(), 0755);
  }
  void setToolPrinting(const std::string& mechanism) {
    std::string text = kRightWith;
    text.replace(text.find("MECHANISM"), 9, mechanism);
    setTool("cat <<'EOF'\n" + text + "EOF\n");
  }
  void setSettings(std::optional<PlistValue> unlock) {
    auto suite = platform::foundation::Defaults::open(UnlockSettings::kSuiteName);
    if (unlock) {
      suite->set(UnlockSettings::kSettingsKey, *unlock);
    } else {
      suite->remove(UnlockSettings::kSettingsKey);
    }
  }
  static PlistValue unlock(std::optional<PlistValue> forLogin,
                           std::optional<PlistValue> enable = std::nullopt) {
    PlistDict dict;
    if (enable) dict.set(UnlockSettings::kEnableUnlockKey, *enable);
    if (forLogin) dict.set(UnlockSettings::kEnableUnlockForLoginKey, *forLogin);
    return PlistValue(std::move(dict));
  }
  // Launches a new delegate and returns whether it showed the window.
  bool launch() {
    capture_.sink().clear();
    onMain([&] {
      delegate_ = AppDelegate::make(
          {[] { return Right::read(); }, [] { return std::make_shared<EmptyContent>(); }});
      delegate_->applicationDidFinishLaunching();
    });
    EXPECT_TRUE(brellis::testing::waitUntil(
        [&] { return logged("Brellis will show window") || logged("Brellis will be hidden"); }));
    bool shown = false;
    onMain([&] { shown = delegate_->window() != nullptr; });
    EXPECT_EQ(shown, logged("Brellis will show window"));
    return shown;
  }
  std::vector<std::string> lines() { return capture_.sink().texts(AppDelegate::kLogCategory); }
  bool logged(const std::string& text) {
    auto all = lines();
    return std::find(all.begin(), all.end(), text) != all.end();
  }

  brellis::testing::TemporaryStateRoot root_;
  platform::os_log::ScopedLogCapture capture_;
  std::shared_ptr<AppDelegate> delegate_;
};

TEST_F(AppDelegateTest, ShowDecisionMatrix) {
  setSettings(unlock(PlistValue(true)));
  // The read fails in every way: the decision goes on without the mechanism test.
  EXPECT_TRUE(launch());  // no tool at all
  EXPECT_EQ(lines().front(), "Brellis did finish launching");
  setTool("echo 'no such right' >&2\nexit 1\n");
  EXPECT_TRUE(launch());
  setTool("echo 'not a property list'\n");
  EXPECT_TRUE(launch());
  setTool(
      "cat <<'EOF'\n<plist version=\"1.0\"><dict><key>class</key><string>rule</string>"
      "</dict></plist>\nEOF\n");
  EXPECT_TRUE(launch());
  // The mechanism, by whole-string equality only.
  setToolPrinting(kLoginMechanism);
  EXPECT_FALSE(launch());
  setToolPrinting(std::string(kLoginMechanism) + ",privileged");
  EXPECT_TRUE(launch());
  setToolPrinting("builtin:login-begin");
  EXPECT_TRUE(launch());
  // The managed setting.
  setSettings(unlock(std::nullopt, PlistValue(true)));
  EXPECT_FALSE(launch());
  setSettings(unlock(PlistValue(false), PlistValue(true)));
  EXPECT_FALSE(launch());
  setSettings(std::nullopt);
  EXPECT_FALSE(launch());
  setSettings(PlistValue("Unlock is a string"));
  EXPECT_FALSE(launch());
  setSettings(unlock(PlistValue(int64_t{1})));
  EXPECT_FALSE(launch());
  auto systemLog = capture_.sink().texts("");
  EXPECT_EQ(std::count_if(systemLog.begin(), systemLog.end(),
                          [](const std::string& line) { return line.find("4864") != line.npos; }),
            1);
  // True with the tool failing: shown.
  setSettings(unlock(PlistValue(true), PlistValue(false)));
  setTool("exit 3\n");
  EXPECT_TRUE(launch());
}

TEST_F(AppDelegateTest, ReadReportsTheToolsStatusAndErrorTextOnce) {
  auto read = [] {
    return platform::dispatch::blockOn(platform::dispatch::globalExecutor(), Right::read());
  };
  setTool("printf 'denied\\n' >&2\nexit 2\n");
  try {
    read();
    ADD_FAILURE() << "no error";
  } catch (const Right::TerminationError& error) {
    EXPECT_EQ(error.status(), (std::pair<int64_t, std::string>{2, "denied\n"}));
  }
  setTool("printf '\\377\\376' >&2\nexit 5\n");  // not UTF-8: empty text
  try {
    read();
    ADD_FAILURE() << "no error";
  } catch (const Right::TerminationError& error) {
    EXPECT_EQ(error.status(), (std::pair<int64_t, std::string>{5, ""}));
  }
  // Far more than a pipe holds on both outputs, then the right: read while the tool runs.
  setTool("head -c 300000 /dev/zero >&2\ncat <<'EOF'\n" +
          std::string(kRightWith)
              .replace(std::string(kRightWith).find("MECHANISM"), 9, std::string(200000, 'x')) +
          "EOF\n");
  Right right = read();
  ASSERT_EQ(right.mechanisms.size(), 3u);
  EXPECT_EQ(right.mechanisms[1].size(), 200000u);
  // Decoding: mechanisms must be a list of strings.
  auto bytes = [](const std::string& text) {
    return platform::foundation::Bytes(text.begin(), text.end());
  };
  EXPECT_THROW(Right::decode(bytes("<plist><dict><key>mechanisms</key><array><integer>1</integer>"
                                   "</array></dict></plist>")),
               platform::foundation::DecodingError);
  EXPECT_THROW(Right::decode(bytes("<plist><array/></plist>")),
               platform::foundation::DecodingError);
}

TEST_F(AppDelegateTest, UnlockSettingsAreStrictAndWriteOnlyWhatIsPresent) {
  UnlockSettings settings{true, std::nullopt, false};
  PlistValue encoded = settings.encode();
  EXPECT_EQ(encoded.dict()->size(), 2u);
  EXPECT_EQ(UnlockSettings::decode(encoded), settings);
  EXPECT_EQ(UnlockSettings::decode(PlistValue(PlistDict{})), UnlockSettings{});
  for (PlistValue wrong : {PlistValue(int64_t{0}), PlistValue("true"), PlistValue(1.0)}) {
    PlistDict dict;
    dict.set(UnlockSettings::kRequirePINKey, wrong);
    EXPECT_THROW(UnlockSettings::decode(PlistValue(dict)), platform::foundation::DecodingError);
  }
}

TEST_F(AppDelegateTest, PlacementFollowsTheFirstScreenAndScreenChanges) {
  using platform::app_kit::WindowServer;
  auto screens = [](const std::string& text) {
    platform::foundation::ensureDirectory(WindowServer::directory());
    std::ofstream(WindowServer::screensPath()) << text;
  };
  // A change before any window only logs.
  onMain([&] {
    delegate_ = AppDelegate::make(
        {[] { return Right::read(); }, [] { return std::make_shared<EmptyContent>(); }});
    delegate_->applicationDidChangeScreenParameters();
  });
  EXPECT_EQ(lines(), std::vector<std::string>{"Brellis did change screen parameters"});

  screens("0 0 1440 900\n");
  setSettings(unlock(PlistValue(true)));
  ASSERT_TRUE(launch());
  platform::app_kit::Point origin;
  onMain([&] { origin = delegate_->window()->frame().origin; });
  EXPECT_EQ(origin, (platform::app_kit::Point{599.0, 814.0}));
  for (const char* line : {"Screen maxX: 1440.0", "Screen maxY: 900.0",
                           "Unlock content origin x: 599.0", "Unlock content origin y: 814.0"}) {
    EXPECT_TRUE(logged(line)) << line;
  }
  auto window = [&] {
    platform::app_kit::Rect frame;
    onMain([&] { frame = delegate_->window()->frame(); });
    return frame;
  };
  EXPECT_EQ(window().size, (platform::app_kit::Size{242, 42}));
  // Borderless, buffered, at the default level, clear behind the toggle's plate, not shared, and
  // shown before anyone has logged in.
  onMain([&] {
    const auto& shown = *delegate_->window();
    EXPECT_EQ(shown.styleMask(), 0u);
    EXPECT_EQ(shown.backingType(), platform::app_kit::Window::BackingStoreType::buffered);
    EXPECT_EQ(shown.level(), 0);
    EXPECT_EQ(shown.backgroundColor(), (platform::app_kit::Color{0, 0, 0, 0}));
    EXPECT_EQ(shown.sharingType(), platform::app_kit::Window::SharingType::none);
    EXPECT_TRUE(shown.canBecomeVisibleWithoutLogin());
    EXPECT_TRUE(shown.isVisible());
  });

  // Several screens, the first not at the origin: x from its centre, y from its maximum y.
  screens("200 100 1920 1080\n0 0 1440 900\n");
  capture_.sink().clear();
  onMain([&] { delegate_->applicationDidChangeScreenParameters(); });
  EXPECT_EQ(window().origin, (platform::app_kit::Point{1039.0, 1094.0}));
  EXPECT_EQ(lines(),
            (std::vector<std::string>{"Brellis did change screen parameters", "Screen maxX: 2120.0",
                                      "Screen maxY: 1180.0", "Unlock content origin x: 1039.0",
                                      "Unlock content origin y: 1094.0"}));

  // No screen: centring leaves the window, and y becomes one and a half times that y.
  screens("");
  capture_.sink().clear();
  onMain([&] { delegate_->applicationDidChangeScreenParameters(); });
  EXPECT_EQ(window().origin, (platform::app_kit::Point{1039.0, 1641.0}));
  auto records = capture_.sink().records();
  auto unavailable = std::find_if(records.begin(), records.end(), [](const auto& record) {
    return record.text == "Screen dimensions unavailable";
  });
  ASSERT_NE(unavailable, records.end());
  EXPECT_EQ(unavailable->level, LogLevel::error);
  EXPECT_TRUE(logged("Unlock content origin y: 1641.0"));
  // Every other line is info.
  for (const auto& record : records) {
    if (record.category == AppDelegate::kLogCategory && &record != &*unavailable) {
      EXPECT_EQ(record.level, LogLevel::info) << record.text;
    }
  }
  EXPECT_EQ(doubleDescription(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(doubleDescription(-42), "-42.0");
  // Decimal from 1e-4 up to 2^53, the exponent form outside; shortest digits either way.
  EXPECT_EQ(doubleDescription(100000.0), "100000.0");
  EXPECT_EQ(doubleDescription(1000000.0), "1000000.0");
  EXPECT_EQ(doubleDescription(1e15), "1000000000000000.0");
  EXPECT_EQ(doubleDescription(9007199254740992.0), "9007199254740992.0");
  EXPECT_EQ(doubleDescription(9007199254740994.0), "9.007199254740994e+15");
  EXPECT_EQ(doubleDescription(1e16), "1e+16");
  EXPECT_EQ(doubleDescription(-1.5e300), "-1.5e+300");
  EXPECT_EQ(doubleDescription(0.0001), "0.0001");
  EXPECT_EQ(doubleDescription(0.00012), "0.00012");
  EXPECT_EQ(doubleDescription(0.00001), "1e-05");
  EXPECT_EQ(doubleDescription(5e-324), "5e-324");
  EXPECT_EQ(doubleDescription(1221.5), "1221.5");
  EXPECT_EQ(doubleDescription(0.0), "0.0");
  EXPECT_EQ(doubleDescription(-0.0), "-0.0");
  EXPECT_EQ(doubleDescription(-std::numeric_limits<double>::infinity()), "-inf");
}

}  // namespace
}  // namespace brellis::login_app
