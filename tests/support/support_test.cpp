#include <gtest/gtest.h>

#include "Exception.h"
#include "TestSupport.h"
#include "support/Logger.h"
#include "support/System.h"
#include "support/Text.h"

using ZEV::Logger;
using ZEV::Text;

TEST(Text, SplitKeepsEmptyPiecesAndHonoursLimit) {
  EXPECT_EQ(Text::split("a,,b", ",", 0), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(Text::split("a b c", " ", 2), (std::vector<std::string>{"a", "b c"}));
  EXPECT_EQ(Text::split("", ",", 0), (std::vector<std::string>{""}));
  EXPECT_EQ(Text::split("k=v==w", "==", 0), (std::vector<std::string>{"k=v", "w"}));
}

TEST(Text, TrimCaseAndReplace) {
  EXPECT_EQ(Text::trim(" \t DEMO-1\r\n"), "DEMO-1");
  EXPECT_EQ(Text::trim("   "), "");
  EXPECT_EQ(Text::toUpperCase("lsb-1"), "LSB-1");
  EXPECT_EQ(Text::toLowerCase("00-80-AB"), "00-80-ab");
  EXPECT_EQ(Text::replace("00:80:00", ":", ""), "008000");
  EXPECT_EQ(Text::replace("aaa", "a", "aa"), "aaaaaa");  // no rescanning of the replacement
}

TEST(Logger, ThresholdAdmitsOwnLevelAndMoreSevere) {
  testsupport::LogCapture capture(Logger::PrintLevel::WARNING_LEVEL);
  EXPECT_TRUE(Logger::isPrintable(Logger::PrintLevel::ERROR_LEVEL));
  EXPECT_TRUE(Logger::isPrintable(Logger::PrintLevel::WARNING_LEVEL));
  EXPECT_FALSE(Logger::isPrintable(Logger::PrintLevel::INFO_LEVEL));
  LOG_INFO("hidden %d", 1);
  LOG_WARNING("shown %d", 2);
  ASSERT_EQ(capture.lines().size(), 1u);
  EXPECT_EQ(capture.lines()[0].text, "shown 2");
  EXPECT_EQ(capture.lines()[0].label, "WARNING");
}

TEST(Logger, LongLinesAreNotCut) {
  testsupport::LogCapture capture;
  std::string big(5000, 'x');
  LOG_INFO("%s|end", big.c_str());
  ASSERT_EQ(capture.lines().size(), 1u);
  EXPECT_EQ(capture.lines()[0].text.size(), 5004u);
}

TEST(Logger, FileModeWritesLines) {
  testsupport::TempDir dir;
  int savedLevel = Logger::printLevel();
  Logger::setPrintLevel(Logger::PrintLevel::INFO_LEVEL, false);
  Logger::setup(Logger::FILE, dir.file("log.txt"));
  LOG_INFO("to the file %s", "ok");
  LOG_DEBUG("not at info");
  Logger::setup(Logger::NONE, "");
  Logger::setPrintLevel(savedLevel, false);
  std::string content = testsupport::ReadFile(dir.file("log.txt"));
  EXPECT_NE(content.find("[INFO] to the file ok\n"), std::string::npos) << content;
  EXPECT_EQ(content.find("not at info"), std::string::npos);
}

TEST(System, CmdReturnsOutputAndStatus) {
  std::string out;
  EXPECT_EQ(ZEV::System::cmd("printf 'serial-1\\n'", out), 0);
  EXPECT_EQ(out, "serial-1\n");
  EXPECT_EQ(ZEV::System::cmd("cat /nonexistent/device_id 2>/dev/null", out), 1);
  EXPECT_EQ(out, "");
}

TEST(Exception, DescribeAndLogWithPrefix) {
  testsupport::LogCapture capture;
  Exception withNumber(Logger::PrintLevel::ERROR_LEVEL, "src/x.cpp", 12, "Unable to bind socket", 98);
  Exception without(Logger::PrintLevel::WARNING_LEVEL, "src/y.cpp", 3, "odd");
  EXPECT_EQ(withNumber.describe(), "src/x.cpp:12: Unable to bind socket 98");
  EXPECT_EQ(without.describe(), "src/y.cpp:3: odd");
  withNumber.log("Rx Msg exception : ");
  without.log("Time thread exception : ");
  auto lines = capture.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, "Rx Msg exception : src/x.cpp:12: Unable to bind socket 98");
  EXPECT_EQ(lines[0].label, "ERROR");
  EXPECT_EQ(lines[1].label, "WARNING");
}

TEST(Exception, ThrowMacroRecordsRelativeSourceFile) {
  try {
    THROW_EXCEPTION("boom", 7);
  } catch (const Exception& e) {
    EXPECT_EQ(e.file().rfind("tests/support/", 0), 0u) << e.file();
    EXPECT_EQ(e.errorNumber(), 7);
    EXPECT_EQ(e.level(), Logger::PrintLevel::ERROR_LEVEL);
  }
}
