#include "app/log.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "support/log_capture.h"
#include "support/temp_folder.h"

namespace kp {
namespace {

using test::ReadFileBytes;
using test::WriteFileBytes;

TEST(LogTest, FileLinesCarryLocalTimeAndCrLfAndLongMessagesAreCut) {
  test::TempFolder dir;
  test::LogCapture capture;
  const std::wstring path = dir.File(L"engine.log");
  OpenLogFile(path);
  Log("buffer: %d file(s)", 3);
  Log("%s", std::string(5000, 'x').c_str());
  CloseLogFile();
  Log("after close");  // console only
  const std::string stamp = R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} )";
  EXPECT_TRUE(std::regex_match(ReadFileBytes(path),
                               std::regex(stamp + R"(buffer: 3 file\(s\)\r\n)" + stamp + "x{1023}\r\n")));
  ASSERT_EQ(capture.Lines().size(), 3u);
  EXPECT_EQ(capture.Lines()[1], std::string(1023, 'x'));
}

TEST(LogTest, RotatesOnlyAboveFiveMebibytesAndAnUnopenableFileLeavesTheConsole) {
  test::TempFolder dir;
  const std::wstring path = dir.File(L"engine.log");
  const std::string exact(5 * 1024 * 1024, 'a');
  WriteFileBytes(path, exact);
  OpenLogFile(path);  // exactly 5 MiB stays and is appended to
  CloseLogFile();
  EXPECT_FALSE(test::FileExists(path + L".old"));

  WriteFileBytes(path + L".old", "older copy");
  WriteFileBytes(path, exact + "b");
  OpenLogFile(path);
  Log("engine: starting");
  CloseLogFile();
  EXPECT_EQ(ReadFileBytes(path + L".old"), exact + "b");
  EXPECT_LT(ReadFileBytes(path).size(), 100u);

  test::LogCapture capture;
  OpenLogFile(dir.File(L"missing-folder") + L"/engine.log");
  Log("clip: %s", "still logged");
  CloseLogFile();
  EXPECT_TRUE(capture.Has("clip: still logged"));
}

}  // namespace
}  // namespace kp
