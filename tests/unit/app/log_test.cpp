#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "app/log.h"
#include "support/log_capture.h"
#include "support/temp_folder.h"

namespace kp {
namespace {

using test::ReadFileBytes;
using test::WriteFileBytes;

TEST(LogTest, FileLinesCarryLocalTimeAndCrLf) {
  test::TempFolder dir;
  const std::wstring path = dir.File(L"engine.log");
  OpenLogFile(path);
  Log("engine: starting (settings: %s)", "x");
  Log("buffer: %d file(s)", 3);
  CloseLogFile();
  Log("after close");  // still fine, console only
  const std::string text = ReadFileBytes(path);
  std::regex line(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} engine: starting \(settings: x\)\r\n)"
                  R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} buffer: 3 file\(s\)\r\n)");
  EXPECT_TRUE(std::regex_match(text, line)) << text;
}

TEST(LogTest, RotatesOnlyAboveFiveMebibytes) {
  test::TempFolder dir;
  const std::wstring path = dir.File(L"engine.log");
  const std::string exact(5 * 1024 * 1024, 'a');
  WriteFileBytes(path, exact);
  OpenLogFile(path);  // exactly 5 MiB stays and is appended to
  CloseLogFile();
  EXPECT_FALSE(test::FileExists(path + L".old"));
  EXPECT_EQ(ReadFileBytes(path).size(), exact.size());

  WriteFileBytes(path + L".old", "older copy");
  WriteFileBytes(path, exact + "b");
  OpenLogFile(path);
  Log("engine: starting");
  CloseLogFile();
  EXPECT_EQ(ReadFileBytes(path + L".old"), exact + "b");  // replaced the older copy
  const std::string fresh = ReadFileBytes(path);
  EXPECT_NE(fresh.find("engine: starting\r\n"), std::string::npos);
  EXPECT_LT(fresh.size(), 100u);
}

TEST(LogTest, LongMessagesAreCutTo1023Bytes) {
  test::TempFolder dir;
  const std::wstring path = dir.File(L"cut.log");
  test::LogCapture capture;
  OpenLogFile(path);
  Log("%s", std::string(5000, 'x').c_str());
  CloseLogFile();
  ASSERT_EQ(capture.Lines().size(), 1u);
  EXPECT_EQ(capture.Lines()[0], std::string(1023, 'x'));
  const std::string text = ReadFileBytes(path);
  EXPECT_EQ(text.size(), 24u + 1023u + 2u);  // time stamp, message, CRLF
  EXPECT_EQ(text.substr(text.size() - 3), "x\r\n");
}

TEST(LogTest, AFileThatCannotOpenLeavesTheConsoleOnly) {
  test::TempFolder dir;
  test::LogCapture capture;
  OpenLogFile(dir.File(L"missing-folder") + L"/engine.log");
  Log("clip: %s", "still logged");
  EXPECT_TRUE(capture.Has("clip: still logged"));
}

}  // namespace
}  // namespace kp
