#include "platform/os_log/log_text.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/os_log/logger.h"

namespace brellis::platform::os_log {
namespace {

TEST(LogTextTest, ControlsAreEscapedAndPrintableTextIsKept) {
  EXPECT_EQ(escapingControls("a\nb\r\tc"), "a\\nb\\r\\tc");
  EXPECT_EQ(escapingControls(std::string("x\0y", 3)), "x\\0y");
  EXPECT_EQ(escapingControls("\x01\x1B[31m\x7F"), "\\u{01}\\u{1B}[31m\\u{7F}");
  // C1 controls (NEL), line and paragraph separators and the bidirectional controls.
  EXPECT_EQ(
      escapingControls("\xC2\x85|\xE2\x80\xA8|\xE2\x80\xA9|\xE2\x80\xAE|\xE2\x81\xA6|\xD8\x9C"),
      "\\u{0085}|\\u{2028}|\\u{2029}|\\u{202E}|\\u{2066}|\\u{061C}");
  // Printable Unicode, quotes and backslashes stay; escaping twice changes nothing.
  EXPECT_EQ(escapingControls("caf\xC3\xA9 \xF0\x9F\x98\x80 \"q\" 'a' \\n"),
            "caf\xC3\xA9 \xF0\x9F\x98\x80 \"q\" 'a' \\n");
  EXPECT_EQ(escapingControls(escapingControls("a\nb")), "a\\nb");
  // Bytes that are not UTF-8 (a lone NEL byte, a cut sequence, an overlong "/", a surrogate).
  EXPECT_EQ(escapingControls("\x85|\xE2\x80|\xC0\xAF|\xED\xA0\x80"),
            "\xEF\xBF\xBD|\xEF\xBF\xBD\xEF\xBF\xBD|\xEF\xBF\xBD\xEF\xBF\xBD|"
            "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(LogTextTest, QuotedDescriptionAlsoEscapesQuotesAndBackslashes) {
  EXPECT_EQ(quotedDescription(""), "\"\"");
  EXPECT_EQ(quotedDescription("it's \"x\" \\ \n\xE2\x80\xA8 \xC3\xA9"),
            "\"it\\'s \\\"x\\\" \\\\ \\n\\u{2028} \xC3\xA9\"");
}

// The standard-error sink writes one line per record, whatever the text holds.
TEST(LogTextTest, TheStandardErrorSinkWritesOneLinePerRecord) {
  char path[] = "/tmp/brellis_stderr_XXXXXX";
  int file = ::mkstemp(path);
  ASSERT_GE(file, 0);
  const int saved = ::dup(STDERR_FILENO);
  ::setenv("BRELLIS_LOG_STDERR", "1", 1);
  Logger::resetSinks();
  ::dup2(file, STDERR_FILENO);
  Logger("Sub", "Cat")
      .error("Found peer: %{public}@", std::string("evil\n[Sub:Cat] <error> forged"));
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  ::close(file);
  ::unsetenv("BRELLIS_LOG_STDERR");
  Logger::resetSinks();
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  ::unlink(path);
  EXPECT_EQ(text.str(), "[Sub:Cat] <error> Found peer: evil\\n[Sub:Cat] <error> forged\n");
}

}  // namespace
}  // namespace brellis::platform::os_log
