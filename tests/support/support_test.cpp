#include <gtest/gtest.h>

#include <regex>

#include "Exception.h"
#include "TestSupport.h"
#include "support/EarlyLines.h"
#include "support/Logger.h"
#include "support/System.h"
#include "support/Text.h"

using ZEV::Logger;
using ZEV::Text;

using testsupport::Occurrences;

TEST(Text, TrimAndCase) {
  EXPECT_EQ(Text::trim(" \t DEMO-1\r\n"), "DEMO-1");
  EXPECT_EQ(Text::toUpperCase("lsb-1") + Text::toLowerCase("00-80-AB"), "LSB-100-80-ab");
}

TEST(Logger, ThresholdLabelsAndLongLines) {
  testsupport::LogCapture capture(Logger::PrintLevel::WARNING_LEVEL);
  LOG_INFO("hidden %d", 1);
  LOG_WARNING("shown %d|%s", 2, std::string(5000, 'x').c_str());  // long lines are not cut
  ASSERT_EQ(capture.lines().size(), 1u);
  EXPECT_EQ(capture.lines()[0].text, "shown 2|" + std::string(5000, 'x'));
  EXPECT_EQ(capture.lines()[0].label, "WARNING");
}

// Standard output and the log file are checked; the system log is not (a build machine may have
// none to read back).
TEST(Logger, EachModeReachesItsOutputs) {
  struct Case {
    Logger::PrintMode mode;
    bool toStdout;
    bool toFile;
  };
  testsupport::TempDir dir;
  const int savedLevel = Logger::printLevel();
  Logger::setPrintLevel(Logger::PrintLevel::INFO_LEVEL, false);
  for (const Case& c : {Case{Logger::NONE, false, false}, Case{Logger::STDOUT, true, false},
                        Case{Logger::FILE, false, true}, Case{Logger::FILE_STDOUT, true, true},
                        Case{Logger::SYSLOG_STDOUT, true, false}}) {
    SCOPED_TRACE(c.mode);
    const std::string path = dir.file("log" + std::to_string(c.mode));
    Logger::setup(c.mode, path);
    testing::internal::CaptureStdout();
    LOG_INFO("mode %d", c.mode);
    const std::string out = testing::internal::GetCapturedStdout();
    Logger::setup(Logger::NONE, "");  // closes the file
    const std::string line = "[INFO] mode " + std::to_string(c.mode) + "\n";
    EXPECT_EQ(out.find(line) != std::string::npos, c.toStdout) << out;
    EXPECT_EQ(testsupport::ReadFile(path).find(line) != std::string::npos, c.toFile);
  }
  Logger::setPrintLevel(savedLevel, false);
}

// Held routine lines wait in the file's buffer; a warning takes them along in their order, and
// so do a flush and the release.
TEST(Logger, HeldRoutineLinesReachTheFileInOrder) {
  testsupport::TempDir dir;
  const int savedLevel = Logger::printLevel();
  Logger::setPrintLevel(Logger::PrintLevel::INFO_LEVEL, false);
  const std::string path = dir.file("held.log");
  Logger::setup(Logger::FILE, path);
  Logger::holdRoutineLines(true);
  LOG_INFO("first");
  EXPECT_EQ(Occurrences(testsupport::ReadFile(path), "[INFO] first"), 0u);
  LOG_WARNING("second");
  const std::string both = testsupport::ReadFile(path);
  EXPECT_LT(both.find("[INFO] first"), both.find("[WARNING] second"));
  // Both lines carry the whole stamp, the second usually from the second's cached date and time.
  const std::regex stamped(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[INFO\] first\n)"
                           R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[WARNING\] second\n)");
  EXPECT_TRUE(std::regex_match(both, stamped)) << both;
  LOG_INFO("third");
  Logger::flush();
  EXPECT_EQ(Occurrences(testsupport::ReadFile(path), "[INFO] third"), 1u);
  LOG_INFO("fourth");
  Logger::holdRoutineLines(false);
  EXPECT_EQ(Occurrences(testsupport::ReadFile(path), "[INFO] fourth"), 1u);
  LOG_INFO("fifth");  // released: written at once again
  EXPECT_EQ(Occurrences(testsupport::ReadFile(path), "[INFO] fifth"), 1u);
  Logger::setup(Logger::NONE, "");
  Logger::setPrintLevel(savedLevel, false);
}

TEST(EarlyLines, KeepsLinesInOrderWithinBothBounds) {
  ZEV::EarlyLines early;
  early.keep(20, "WARNING", "t0", "Invalid NetID");
  early.keep(30, "INFO", "t1", "join delay");
  // One line larger than the whole budget is left out; smaller ones after it are still kept.
  const std::string huge(ZEV::EarlyLines::kMaxBytes, 'x');
  early.keep(10, "ERROR", "t2", huge.c_str());
  early.keep(30, "INFO", "t3", "after");
  EXPECT_EQ(early.leftOut(), 1u);
  std::vector<ZEV::EarlyLines::Line> kept = early.take();
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_EQ(kept[0].text, "Invalid NetID");
  EXPECT_EQ(kept[0].label, "WARNING");
  EXPECT_EQ(kept[0].stamp, "t0");
  EXPECT_EQ(kept[2].text, "after");
  EXPECT_TRUE(early.take().empty());
  EXPECT_EQ(early.leftOut(), 0u);

  // The count bound: the first lines are kept, the rest counted.
  for (size_t i = 0; i < ZEV::EarlyLines::kMaxLines + 5; ++i) {
    early.keep(30, "INFO", "t", std::to_string(i).c_str());
  }
  EXPECT_EQ(early.leftOut(), 5u);
  kept = early.take();
  ASSERT_EQ(kept.size(), ZEV::EarlyLines::kMaxLines);
  EXPECT_EQ(kept.back().text, std::to_string(ZEV::EarlyLines::kMaxLines - 1));
}

// A log file that cannot be opened must not swallow the log. Without the console, standard error
// takes the lines (the start-up end-to-end test); with it, they stay on standard output alone.
TEST(Logger, UnopenableLogFileWithTheConsoleLogsThereOnly) {
  testsupport::TempDir dir;
  const std::string path = dir.file("no-such-folder/vallorin.log");
  const int savedLevel = Logger::printLevel();
  Logger::setPrintLevel(Logger::PrintLevel::INFO_LEVEL, false);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  Logger::setup(Logger::FILE_STDOUT, path);
  LOG_INFO("later line");
  const std::string err = testing::internal::GetCapturedStderr();
  const std::string out = testing::internal::GetCapturedStdout();
  Logger::setup(Logger::NONE, "");
  Logger::setPrintLevel(savedLevel, false);
  const std::string why = "Unable to open log file " + path +
                          " (No such file or directory), logging to standard output instead";
  EXPECT_EQ(Occurrences(err + out, why), 1u) << err << out;
  EXPECT_EQ(Occurrences(err, "[INFO] later line\n"), 0u) << err;
  EXPECT_EQ(Occurrences(out, "[INFO] later line\n"), 1u) << out;
}

TEST(System, CmdReturnsOutputAndStatus) {
  std::string out;
  EXPECT_EQ(ZEV::System::cmd("printf 'serial-1\\n'", out), 0);
  EXPECT_EQ(out, "serial-1\n");
  EXPECT_EQ(ZEV::System::cmd("cat /nonexistent/device_id 2>/dev/null", out), 1);
  EXPECT_EQ(out, "");
}

// The logged form with its prefix and number is the packet workers' and the backup loop's test.
TEST(Exception, RecordsTheRelativeSourceFile) {
  try {
    THROW_EXCEPTION("boom", 7);
  } catch (const Exception& e) {
    EXPECT_EQ(e.file().rfind("tests/support/", 0), 0u) << e.file();
    EXPECT_EQ(e.errorNumber(), 7);
  }
}
