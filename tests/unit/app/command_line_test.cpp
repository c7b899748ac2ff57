#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "app/command_line.h"
#include "app/record_command.h"
#include "platform/wide_number.h"

namespace kp {
namespace {

std::wstring FakeAbsolute(const std::wstring& path) { return path == L"unresolvable" ? L"" : L"/abs/" + path; }

Dispatch Decide(std::vector<std::wstring> words) {
  return DecideAction(ParseCommandLine(words, L"/default/settings.json", FakeAbsolute));
}

TEST(CommandLineTest, GrammarTable) {
  struct Row {
    std::vector<std::wstring> words;
    Action action;
  };
  const Row rows[] = {
      {{}, Action::kRunEngine},
      {{L"run"}, Action::kRunEngine},
      {{L"run", L"x"}, Action::kUsage},
      {{L"run", L"--settings", L"x.json"}, Action::kRunEngine},
      {{L"--settings", L"x.json", L"run", L"run"}, Action::kUsage},
      {{L"save"}, Action::kSignal},
      {{L"save", L"extra", L"words"}, Action::kSignal},
      {{L"stop"}, Action::kSignal},
      {{L"reload"}, Action::kSignal},
      {{L"settings"}, Action::kSignal},
      {{L"record", L"2.5", L"out.mp4"}, Action::kRecord},
      {{L"record", L"10s", L"out.mp4"}, Action::kRecord},
      {{L"record", L"0", L"out.mp4"}, Action::kUsage},
      {{L"record", L"-5", L"out.mp4"}, Action::kUsage},
      {{L"record", L"abc", L"out.mp4"}, Action::kUsage},
      {{L"record", L"0x10", L"out.mp4"}, Action::kUsage},
      {{L"record", L"inf", L"out.mp4"}, Action::kUsage},
      {{L"record", L"nan", L"out.mp4"}, Action::kUsage},
      {{L"record", L"5"}, Action::kUsage},
      {{L"record", L"5", L"a.mp4", L"b"}, Action::kUsage},
      {{L"export", L"job.json"}, Action::kExport},
      {{L"export"}, Action::kUsage},
      {{L"export", L"a", L"b"}, Action::kUsage},
      {{L"SAVE"}, Action::kUsage},
      {{L"Save"}, Action::kUsage},
      {{L"--settings"}, Action::kUsage},
      {{L"bogus"}, Action::kUsage},
      {{L"--settings", L"x.json"}, Action::kRunEngine},
  };
  for (const Row& row : rows) {
    std::wstring line;
    for (const auto& w : row.words) line += w + L" ";
    EXPECT_EQ(static_cast<int>(Decide(row.words).action), static_cast<int>(row.action)) << std::string(line.begin(), line.end());
  }
}

TEST(CommandLineTest, SignalsMapToTheirEvents) {
  EXPECT_EQ(Decide({L"save"}).event, ControlEvent::kSave);
  EXPECT_EQ(Decide({L"stop"}).event, ControlEvent::kStop);
  EXPECT_EQ(Decide({L"reload"}).event, ControlEvent::kReload);
  EXPECT_EQ(Decide({L"settings"}).event, ControlEvent::kShowSettings);
}

TEST(CommandLineTest, SettingsMayStandAnywhereAndTheLastWins) {
  CommandLine c = ParseCommandLine({L"record", L"2.5", L"--settings", L"a.json", L"out.mp4", L"--settings", L"b.json"},
                                   L"/default", FakeAbsolute);
  EXPECT_EQ(c.settingsPath, L"/abs/b.json");
  EXPECT_EQ(c.command, L"record");
  EXPECT_EQ(c.arguments, (std::vector<std::wstring>{L"2.5", L"out.mp4"}));
  Dispatch d = DecideAction(c);
  EXPECT_EQ(d.action, Action::kRecord);
  EXPECT_EQ(d.seconds, 2.5);
  EXPECT_EQ(d.path, L"out.mp4");  // output taken as typed

  EXPECT_EQ(ParseCommandLine({}, L"/default", FakeAbsolute).settingsPath, L"/default");
  EXPECT_EQ(ParseCommandLine({L"--settings", L"unresolvable"}, L"/d", FakeAbsolute).settingsPath, L"unresolvable");
  // A trailing --settings is an ordinary word.
  CommandLine trailing = ParseCommandLine({L"save", L"--settings"}, L"/d", FakeAbsolute);
  EXPECT_EQ(trailing.arguments, (std::vector<std::wstring>{L"--settings"}));
  // "--settings" consumes the next word even when it looks like a command.
  CommandLine consumed = ParseCommandLine({L"--settings", L"save"}, L"/d", FakeAbsolute);
  EXPECT_TRUE(consumed.command.empty());
  EXPECT_EQ(consumed.settingsPath, L"/abs/save");
}

// The portable reading of the seconds; Windows calls the runtime's _wtof.
TEST(CommandLineTest, SecondsFollowTheRuntimeGrammar) {
  struct Row {
    const wchar_t* text;
    double value;
  };
  const Row rows[] = {
      {L"10", 10},     {L"10s", 10},   {L"2.5", 2.5},     {L"  7", 7},      {L"\t+3", 3},   {L"-5", -5},
      {L".5", 0.5},    {L"5.", 5},     {L"1e2", 100},     {L"1E2x", 100},   {L"1e", 1},     {L"1e+", 1},
      {L"2e-1", 0.2},  {L"abc", 0},    {L"", 0},          {L"0x10", 0},     {L"inf", 0},    {L"nan", 0},
      {L"INFINITY", 0}, {L".", 0},     {L"+", 0},         {L"-.e5", 0},     {L"1.5.5", 1.5}, {L"3 4", 3},
  };
  for (const Row& row : rows) {
    EXPECT_DOUBLE_EQ(WideToDouble(row.text), row.value) << std::string(row.text, row.text + wcslen(row.text));
  }
  EXPECT_TRUE(std::isinf(WideToDouble(L"1e400")));
}

TEST(RecordCommandTest, EndTimeSaturatesInsteadOfOverflowing) {
  const int64_t max = std::numeric_limits<int64_t>::max();
  EXPECT_EQ(RecordEndTime(1'000, 2.5), 1'000 + 25'000'000);
  EXPECT_EQ(RecordEndTime(1'000, 0.00000015), 1'001);  // truncated
  EXPECT_EQ(RecordEndTime(1'000, 1e300), max);
  EXPECT_EQ(RecordEndTime(1'000, std::numeric_limits<double>::infinity()), max);
  EXPECT_EQ(RecordEndTime(max - 10, 1.0), max);
}

}  // namespace
}  // namespace kp
