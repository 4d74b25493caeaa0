#include "platform/app_kit/application.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>

namespace brellis::platform::app_kit {
namespace {

// Records the delegate's calls into a pipe, asks for a screen change once launched, and ends the
// process from another thread once that arrived. The process's main thread is the one whose
// thread id is the process id.
class RecordingDelegate : public ApplicationDelegate {
 public:
  explicit RecordingDelegate(int fd) : fd_(fd) {}
  void applicationDidFinishLaunching() override {
    note(::gettid() == ::getpid() ? "launched-on-main;" : "launched-off-main;");
    Application::shared().screenParametersDidChange();
  }
  void applicationDidChangeScreenParameters() override {
    note(Application::shared().isRunning() ? "screens;" : "screens-before-launch;");
    std::thread([] { Application::shared().exitProcess(7); }).detach();
  }

 private:
  void note(const std::string& text) { (void)!::write(fd_, text.data(), text.size()); }
  int fd_;
};

TEST(ApplicationTest, MainLoopTellsTheDelegateOnTheMainThreadAndExitsWithTheAskedStatus) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  pid_t child = ::fork();
  if (child == 0) {
    ::close(fds[0]);
    Application::shared().setDelegate(std::make_shared<RecordingDelegate>(fds[1]));
    applicationMain(0, nullptr);
  }
  ::close(fds[1]);
  std::string notes;
  char buffer[64];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) notes.append(buffer, n);
  ::close(fds[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 7);
  EXPECT_EQ(notes, "launched-on-main;screens;");
}

}  // namespace
}  // namespace brellis::platform::app_kit
