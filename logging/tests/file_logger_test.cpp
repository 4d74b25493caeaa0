#include "logging/file_logger.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/os_log/logger.h"
#include "testing/support/temporary_state_root.h"
#include "testing/support/wait_until.h"

namespace brellis::logging {
namespace {

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

// Each test logs to its own file under /tmp, so tests never share the system's log file.
class FileLoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = "brellis_test_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name();
    path_ = std::string("/tmp/") + name_ + ".log";
    cleanup();
  }
  void TearDown() override { cleanup(); }
  void cleanup() {
    ::unlink(path_.c_str());
    ::unlink((path_ + ".lock").c_str());
  }
  void makeSparseFile(off_t size) {
    int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, size), 0);
    ::close(fd);
  }
  off_t sizeOf() {
    struct stat info {};
    return ::stat(path_.c_str(), &info) == 0 ? info.st_size : -1;
  }
  FileLogger fixedLogger(const std::string& category = "Cat") {
    FileLogger logger(name_, "Sub", category);
    logger.setNowForTesting([] { return std::chrono::system_clock::from_time_t(1796789106); });
    return logger;
  }

  std::string name_;
  std::string path_;
};

TEST_F(FileLoggerTest, FirstMessageCreatesTheFileWithTheExactLine) {
  auto logger = fixedLogger();
  EXPECT_EQ(logger.path(), "/tmp/" + name_);
  EXPECT_EQ(logger.logFilePath(), path_);
  logger.info("hello");
  logger.error("two\nlines");
  logger.log(platform::os_log::LogLevel::defaultLevel, "other");
  EXPECT_EQ(readAll(path_),
            "Wed Dec 09 04:05:06 [Sub] - info - Cat: hello\n"
            "Wed Dec 09 04:05:06 [Sub] - error - Cat: two\nlines\n"
            "Wed Dec 09 04:05:06 [Sub] - unknown - Cat: other\n");
}

TEST_F(FileLoggerTest, EveryMessageAlsoReachesTheUnifiedLogAsPublicText) {
  platform::os_log::ScopedLogCapture capture;
  FileLogger logger(name_, "Brellis", "LaunchCheck");
  logger.info("Launching Brellis app");
  logger.error("bad");
  auto records = capture.sink().records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].text, "Launching Brellis app");
  EXPECT_EQ(records[0].level, platform::os_log::LogLevel::info);
  EXPECT_EQ(records[0].subsystem, "Brellis");
  EXPECT_EQ(records[0].category, "LaunchCheck");
  EXPECT_EQ(records[1].level, platform::os_log::LogLevel::error);
}

TEST_F(FileLoggerTest, TheSizeLimitIsCheckedBeforeWriting) {
  auto logger = fixedLogger();
  makeSparseFile(FileLogger::maxFileSize - 1);
  logger.info("appended");
  EXPECT_GT(sizeOf(), FileLogger::maxFileSize - 1);

  makeSparseFile(FileLogger::maxFileSize);
  logger.info("replaces");
  auto content = readAll(path_);
  EXPECT_EQ(std::count(content.begin(), content.end(), '\n'), 1);
  EXPECT_NE(content.find("replaces"), std::string::npos);
}

TEST_F(FileLoggerTest, APlantedLinkIsReplacedAndItsTargetLeftUntouched) {
  std::string target = path_ + ".target";
  { std::ofstream(target) << "precious\n"; }
  ASSERT_EQ(::symlink(target.c_str(), path_.c_str()), 0);
  fixedLogger().info("line");
  EXPECT_EQ(readAll(target), "precious\n");
  struct stat info {};
  ASSERT_EQ(::lstat(path_.c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  ::unlink(target.c_str());
}

TEST_F(FileLoggerTest, ADirectoryAtThePathIsNeverWrittenThroughAndLeavesNoTemporaryFile) {
  ASSERT_EQ(::mkdir(path_.c_str(), 0755), 0);
  fixedLogger().info("line");
  EXPECT_TRUE(std::filesystem::is_directory(path_));
  EXPECT_TRUE(std::filesystem::is_empty(path_));
  // The failed replacement removed its temporary file (".<name>.log.XXXXXX" beside the path).
  for (const auto& entry : std::filesystem::directory_iterator("/tmp")) {
    EXPECT_EQ(entry.path().filename().string().rfind("." + name_ + ".log.", 0), std::string::npos)
        << entry.path();
  }
  ::rmdir(path_.c_str());
}

// Another process holding the exclusive lock on a file until the object goes.
class LockHolder {
 public:
  explicit LockHolder(const std::string& lockPath, const char* mode = "hold")
      : pid_(testing::startProgram(FILE_LOGGER_PEER, {mode, lockPath})) {
    held_ = testing::waitUntil([&] {
      int fd = ::open(lockPath.c_str(), O_RDWR | O_CLOEXEC);
      bool busy = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0;
      if (fd >= 0) ::close(fd);
      return busy;
    });
  }
  ~LockHolder() {
    ::kill(pid_, SIGTERM);
    testing::waitProgram(pid_);
  }
  bool held() const { return held_; }

 private:
  int pid_;
  bool held_ = false;
};

// Logs one line on another thread; true when it returned within five seconds. The thread is
// joined once `release` has run, so a call stuck on the lock ends with the test. `took`, when
// given, receives how long the call lasted.
bool logsWithoutHanging(const FileLogger& logger, const std::string& message,
                        const std::function<void()>& release,
                        std::chrono::steady_clock::duration* took = nullptr) {
  std::atomic<bool> done{false};
  std::thread writer([&] {
    auto start = std::chrono::steady_clock::now();
    logger.info(message);
    if (took) *took = std::chrono::steady_clock::now() - start;
    done = true;
  });
  bool returned = testing::waitUntil([&] { return done.load(); });
  release();
  writer.join();
  return returned;
}

TEST_F(FileLoggerTest, AHeldLockFileNeverStopsTheLineOfAnotherUserNorPastTheBound) {
  std::string lockPath = path_ + ".lock";
  if (::geteuid() == 0) {
    // Planted and held by another user: not waited on at all, even with no group or other
    // permission bit (only its owner tells it apart from ours).
    int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::fchown(fd, 65534, 65534), 0);
    ::close(fd);
    auto holder = std::make_unique<LockHolder>(lockPath);
    ASSERT_TRUE(holder->held());
    // A bound far beyond the wait of the test: only not waiting at all passes.
    auto logger = fixedLogger();
    logger.setMaxLockWaitForTesting(std::chrono::minutes(1));
    EXPECT_TRUE(logsWithoutHanging(logger, "foreign", [&] { holder.reset(); }));
    EXPECT_NE(readAll(path_).find("Cat: foreign\n"), std::string::npos);
    ::unlink(lockPath.c_str());
  }
  // Our own lock file, held by a writer that does not let go: the wait ends at the bound.
  auto logger = fixedLogger();
  logger.setMaxLockWaitForTesting(std::chrono::milliseconds(50));
  logger.info("first");  // creates the lock file
  auto holder = std::make_unique<LockHolder>(lockPath);
  ASSERT_TRUE(holder->held());
  EXPECT_TRUE(logsWithoutHanging(logger, "bounded", [&] { holder.reset(); }));
  EXPECT_NE(readAll(path_).find("Cat: first\n"), std::string::npos);
  EXPECT_NE(readAll(path_).find("Cat: bounded\n"), std::string::npos);
}

TEST_F(FileLoggerTest, TheLockFileIsOursAloneAndOneOthersCanOpenIsNeverWaitedOn) {
  const std::string lockPath = path_ + ".lock";
  auto logger = fixedLogger();
  logger.setMaxLockWaitForTesting(std::chrono::minutes(1));
  logger.info("first");
  struct stat info {};
  ASSERT_EQ(::stat(lockPath.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(info.st_uid, ::geteuid());
  // Our lock file as an older writer left it, readable by all: another user opens it for reading
  // and holds the lock (flock needs no write access).
  ASSERT_EQ(::chmod(lockPath.c_str(), 0644), 0);
  auto holder = std::make_unique<LockHolder>(lockPath, "hold-read");
  ASSERT_TRUE(holder->held());
  std::chrono::steady_clock::duration took{};
  EXPECT_TRUE(logsWithoutHanging(
      logger, "second", [&] { holder.reset(); }, &took));
  EXPECT_LT(took, std::chrono::milliseconds(500))
      << std::chrono::duration_cast<std::chrono::microseconds>(took).count() << " us";
  std::cout << "line beside a held lock file open to others: "
            << std::chrono::duration_cast<std::chrono::microseconds>(took).count() << " us\n";
  EXPECT_NE(readAll(path_).find("Cat: second\n"), std::string::npos);
}

TEST_F(FileLoggerTest, TwoProcessesAcrossTheReplacementLoseNoLineAndSplitNone) {
  makeSparseFile(FileLogger::maxFileSize - 200);
  const int count = 500;
  int a = testing::startProgram(FILE_LOGGER_PEER, {name_, "A", std::to_string(count)});
  int b = testing::startProgram(FILE_LOGGER_PEER, {name_, "B", std::to_string(count)});
  ASSERT_EQ(testing::waitProgram(a), 0);
  ASSERT_EQ(testing::waitProgram(b), 0);

  // The sparse start was replaced exactly once; every line written after that is present.
  auto content = readAll(path_);
  ASSERT_EQ(content.find('\0'), std::string::npos);
  std::istringstream lines(content);
  std::string line;
  std::regex shape(
      R"(^\w{3} \w{3} \d{2} \d{2}:\d{2}:\d{2} \[Peer\] - info - ([AB]): \1 line (\d+)$)");
  std::map<std::string, std::vector<int>> seen;
  while (std::getline(lines, line)) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, shape)) << line;
    seen[match[1]].push_back(std::stoi(match[2]));
  }
  // Lines before the replacement (at most the few that fit under the limit) are gone; from the
  // first surviving line on, each writer's lines are contiguous and end at its last.
  for (auto& [tag, numbers] : seen) {
    ASSERT_FALSE(numbers.empty());
    EXPECT_EQ(numbers.back(), count - 1) << tag;
    for (size_t i = 1; i < numbers.size(); ++i) EXPECT_EQ(numbers[i], numbers[i - 1] + 1) << tag;
    EXPECT_GE(numbers.size(), size_t(count - 10)) << tag;
  }
}

// A child forked while other threads log, format dates and write the file logs at once: no lock
// a line takes is inherited held by a thread the child does not have.
TEST_F(FileLoggerTest, AChildForkedWhileOtherThreadsLogLogsAtOnce) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "TSan does not support fork() while other threads run";
#elif defined(__SANITIZE_ADDRESS__)
  // The writers allocate all the time; the sanitizer's allocator does not hold its locks across
  // fork(), so the child could wait on one of those instead of ours.
  GTEST_SKIP() << "AddressSanitizer's allocator does not hold its locks across fork()";
#endif
  platform::os_log::ScopedLogCapture capture;
  FileLogger logger(name_, "Sub", "Fork");
  platform::os_log::Logger osLog("Sub", "Fork");
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  writers.emplace_back([&] {
    while (!stop) logger.info("file line");
  });
  for (int i = 0; i < 2; ++i) {
    writers.emplace_back([&] {
      for (int n = 1; !stop; ++n) {
        osLog.info("busy");
        if (n % 1000 == 0) capture.sink().clear();
      }
    });
  }
  int hung = 0;
  int failed = 0;
  for (int round = 0; round < 300 && hung == 0; ++round) {
    const pid_t child = ::fork();
    if (child == 0) {
      logger.info("child line");
      ::_exit(capture.sink().contains("child line") ? 0 : 1);
    }
    if (child < 0) {
      ++failed;
      break;
    }
    const int status = testing::waitProgram(child, std::chrono::seconds(10));
    if (status == -2) {
      ++hung;
    } else if (status != 0) {
      ++failed;
    }
  }
  stop = true;
  for (auto& writer : writers) writer.join();
  EXPECT_EQ(hung, 0);
  EXPECT_EQ(failed, 0);
}

}  // namespace
}  // namespace brellis::logging
