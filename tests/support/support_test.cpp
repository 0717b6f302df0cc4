#include <gtest/gtest.h>

#include "Exception.h"
#include "TestSupport.h"
#include "support/Logger.h"
#include "support/System.h"
#include "support/Text.h"

using ZEV::Logger;
using ZEV::Text;

TEST(Text, SplitTrimCaseAndReplace) {
  EXPECT_EQ(Text::split("a,,b", ",", 0), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(Text::split("a b c", " ", 2), (std::vector<std::string>{"a", "b c"}));
  EXPECT_EQ(Text::split("k=v==w", "==", 0), (std::vector<std::string>{"k=v", "w"}));
  EXPECT_EQ(Text::trim(" \t DEMO-1\r\n"), "DEMO-1");
  EXPECT_EQ(Text::toUpperCase("lsb-1") + Text::toLowerCase("00-80-AB"), "LSB-100-80-ab");
  EXPECT_EQ(Text::replace("aaa", "a", "aa"), "aaaaaa");  // no rescanning of the replacement
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

TEST(System, CmdReturnsOutputAndStatus) {
  std::string out;
  EXPECT_EQ(ZEV::System::cmd("printf 'serial-1\\n'", out), 0);
  EXPECT_EQ(out, "serial-1\n");
  EXPECT_EQ(ZEV::System::cmd("cat /nonexistent/device_id 2>/dev/null", out), 1);
  EXPECT_EQ(out, "");
}

TEST(Exception, LogsWithPrefixAndRecordsRelativeSourceFile) {
  testsupport::LogCapture capture;
  Exception(Logger::PrintLevel::ERROR_LEVEL, "src/x.cpp", 12, "Unable to bind socket", 98)
      .log("Rx Msg exception : ");
  ASSERT_EQ(capture.lines().size(), 1u);
  EXPECT_EQ(capture.lines()[0].text, "Rx Msg exception : src/x.cpp:12: Unable to bind socket 98");
  EXPECT_EQ(capture.lines()[0].label, "ERROR");
  EXPECT_EQ(Exception(10, "src/y.cpp", 3, "no number").describe(), "src/y.cpp:3: no number");
  try {
    THROW_EXCEPTION("boom", 7);
  } catch (const Exception& e) {
    EXPECT_EQ(e.file().rfind("tests/support/", 0), 0u) << e.file();
    EXPECT_EQ(e.errorNumber(), 7);
  }
}
