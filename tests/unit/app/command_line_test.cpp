#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <tuple>

#include "app/command_line.h"
#include "app/record_command.h"
#include "platform/text.h"

namespace kp {
namespace {

std::wstring FakeAbsolute(const std::wstring& path) { return path == L"unresolvable" ? L"" : L"/abs/" + path; }

TEST(CommandLineTest, GrammarTable) {
  using A = Action;
  using E = ControlEvent;
  const struct {
    std::vector<std::wstring> words;
    Action action;
    E event;              // kSignal
    const wchar_t* path;  // kRecord, kExport
  } rows[] = {
      {{}, A::kRunEngine, E::kSave, L""},
      {{L"run", L"x"}, A::kUsage, E::kSave, L""},
      {{L"save", L"extra", L"words"}, A::kSignal, E::kSave, L""},
      {{L"stop"}, A::kSignal, E::kStop, L""},
      {{L"reload"}, A::kSignal, E::kReload, L""},
      {{L"settings"}, A::kSignal, E::kShowSettings, L""},
      {{L"record", L"10s", L"out.mp4"}, A::kRecord, E::kSave, L"out.mp4"},
      {{L"record", L"0", L"out.mp4"}, A::kUsage, E::kSave, L""},
      {{L"record", L"86400", L"out.mp4"}, A::kRecord, E::kSave, L"out.mp4"},
      {{L"record", L"86400.5", L"out.mp4"}, A::kUsage, E::kSave, L""},
      {{L"record", L"inf", L"out.mp4"}, A::kUsage, E::kSave, L""},
      {{L"record", L"nan", L"out.mp4"}, A::kUsage, E::kSave, L""},
      {{L"record", L"5", L"a.mp4", L"b"}, A::kUsage, E::kSave, L""},
      {{L"export", L"job.json"}, A::kExport, E::kSave, L"job.json"},
      {{L"export"}, A::kUsage, E::kSave, L""},
      {{L"Save"}, A::kUsage, E::kSave, L""},
      {{L"", L"save"}, A::kUsage, E::kSave, L""},  // an empty word is no command
      {{L""}, A::kUsage, E::kSave, L""},
  };
  for (const auto& row : rows) {
    std::wstring line;
    for (const auto& w : row.words) line += w + L" ";
    const Dispatch d = DecideAction(ParseCommandLine(row.words, L"/default/settings.json", FakeAbsolute));
    EXPECT_EQ(std::tuple(int(d.action), d.event, d.path), std::tuple(int(row.action), row.event, row.path))
        << WideToUtf8(line);
  }
}

TEST(CommandLineTest, SettingsMayStandAnywhereAndTheLastWins) {
  CommandLine c = ParseCommandLine({L"record", L"2.5", L"--settings", L"a.json", L"out.mp4", L"--settings", L"b.json"},
                                   L"/default", FakeAbsolute);
  EXPECT_EQ(c.settingsPath, L"/abs/b.json");
  EXPECT_EQ(c.arguments, (std::vector<std::wstring>{L"2.5", L"out.mp4"}));
  EXPECT_EQ(DecideAction(c).seconds, 2.5);

  EXPECT_EQ(ParseCommandLine({}, L"/default", FakeAbsolute).settingsPath, L"/default");
  EXPECT_EQ(ParseCommandLine({L"--settings", L"unresolvable"}, L"/d", FakeAbsolute).settingsPath, L"unresolvable");
  // A trailing --settings is an ordinary word; otherwise it takes the next
  // word even when that looks like a command.
  EXPECT_EQ(ParseCommandLine({L"save", L"--settings"}, L"/d", FakeAbsolute).arguments,
            std::vector<std::wstring>{L"--settings"});
  CommandLine consumed = ParseCommandLine({L"--settings", L"save"}, L"/d", FakeAbsolute);
  EXPECT_FALSE(consumed.hasCommand);
  EXPECT_EQ(consumed.settingsPath, L"/abs/save");
}

TEST(RecordCommandTest, EndTimeSaturatesInsteadOfOverflowing) {
  const int64_t max = std::numeric_limits<int64_t>::max();
  EXPECT_EQ(RecordEndTime(1'000, 2.5), 25'001'000);
  EXPECT_EQ(RecordEndTime(1'000, 0.00000015), 1'001);  // truncated
  EXPECT_EQ(RecordEndTime(1'000, 1e300), max);
  EXPECT_EQ(RecordEndTime(1'000, std::numeric_limits<double>::infinity()), max);
  EXPECT_EQ(RecordEndTime(max - 10, 1.0), max);
}

}  // namespace
}  // namespace kp
