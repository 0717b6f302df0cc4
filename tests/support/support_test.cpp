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

TEST(Logger, ThresholdLabelsLongLinesAndFileMode) {
  {
    testsupport::LogCapture capture(Logger::PrintLevel::WARNING_LEVEL);
    LOG_INFO("hidden %d", 1);
    LOG_WARNING("shown %d|%s", 2, std::string(5000, 'x').c_str());  // long lines are not cut
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_EQ(capture.lines()[0].text, "shown 2|" + std::string(5000, 'x'));
    EXPECT_EQ(capture.lines()[0].label, "WARNING");
  }
  testsupport::TempDir dir;
  const int savedLevel = Logger::printLevel();
  Logger::setPrintLevel(Logger::PrintLevel::INFO_LEVEL, false);
  Logger::setup(Logger::FILE, dir.file("log.txt"));
  LOG_INFO("to the file %s", "ok");
  Logger::setup(Logger::NONE, "");
  Logger::setPrintLevel(savedLevel, false);
  const std::string content = testsupport::ReadFile(dir.file("log.txt"));
  EXPECT_NE(content.find("[INFO] to the file ok\n"), std::string::npos) << content;
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
  try {
    THROW_EXCEPTION("boom", 7);
  } catch (const Exception& e) {
    EXPECT_EQ(e.file().rfind("tests/support/", 0), 0u) << e.file();
    EXPECT_EQ(e.errorNumber(), 7);
  }
}
