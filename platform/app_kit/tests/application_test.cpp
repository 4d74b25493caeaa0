#include "platform/app_kit/application.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "testing/support/temporary_state_root.h"

namespace brellis::platform::app_kit {
namespace {

// Records the delegate's calls in a file, asks for a screen change once launched, and ends the
// process from another thread once that arrived. The process's main thread is the one whose
// thread id is the process id.
class RecordingDelegate : public ApplicationDelegate {
 public:
  explicit RecordingDelegate(std::filesystem::path notes) : notes_(std::move(notes)) {}
  void applicationDidFinishLaunching() override {
    note(::gettid() == ::getpid() ? "launched-on-main;" : "launched-off-main;");
    Application::shared().screenParametersDidChange();
  }
  void applicationDidChangeScreenParameters() override {
    note(Application::shared().isRunning() ? "screens;" : "screens-before-launch;");
    std::thread([] { Application::shared().exitProcess(7); }).detach();
  }

 private:
  void note(const std::string& text) { std::ofstream(notes_, std::ios::app) << text; }
  std::filesystem::path notes_;
};

TEST(ApplicationTest, MainLoopTellsTheDelegateOnTheMainThreadAndExitsWithTheAskedStatus) {
  // The application runs in a process of its own: the death test's child, which execs this
  // test executable to run this test alone.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  brellis::testing::TemporaryStateRoot root;
  const auto notes = root.path() / "notes";
  auto run = [&] {
    Application::shared().setDelegate(std::make_shared<RecordingDelegate>(notes));
    applicationMain(0, nullptr);
  };
  EXPECT_EXIT(run(), ::testing::ExitedWithCode(7), "");
  std::ifstream in(notes);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "launched-on-main;screens;");
}

}  // namespace
}  // namespace brellis::platform::app_kit
