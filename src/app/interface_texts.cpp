// This file is UTF-8: the Korean texts are wide literals the compiler
// converts.
#include "app/interface_texts.h"

#include <cstdint>
#include <cstdio>

namespace kp {

const TextTable& EnglishTexts() {
  static const TextTable table = {
      L"Save clip",
      L"Pause replay",
      L"Resume replay",
      L"Open clip folder",
      L"Edit clip...",
      L"Settings...",
      L"Exit",
      L"Replay recording \u00B7 last %s",
      L"Replay paused",
      L"Waiting for screen capture (lock screen, ...)",
      L"Clip saved",
      L"%s \u00B7 %s",
      L"Couldn't save clip",
      L"Check disk space and the clip folder.",
      L"Nothing recorded yet.",
      L"Couldn't register hotkey",
      L"%s is used by another program. Change it in settings.",
      L"Couldn't read the settings file",
      L"Recording continues with the previous settings.",
      L"Saving clip %s",
      L"Buffer drive is running out of space",
      L"The oldest part was dropped to make room. Pick another buffer location in settings or free up space.",
      L"Couldn't write the replay buffer",
      L"Check the buffer location in settings: the drive may be missing or read-only.",
      L"Update available",
      L"Kaptora %s is out. Click to update.",
  };
  return table;
}

const TextTable& KoreanTexts() {
  static const TextTable table = {
      L"클립 저장",
      L"리플레이 일시정지",
      L"리플레이 다시 시작",
      L"클립 폴더 열기",
      L"클립 편집...",
      L"설정...",
      L"종료",
      L"리플레이 녹화 중 · 최근 %s",
      L"리플레이 일시정지됨",
      L"화면 캡처 대기 중 (잠금 화면 등)",
      L"클립 저장됨",
      L"%s 분량 · %s",
      L"클립 저장 실패",
      L"디스크 공간과 저장 폴더를 확인해 주세요.",
      L"아직 녹화된 내용이 없어요.",
      L"단축키를 등록하지 못했어요",
      L"%s — 다른 프로그램이 사용 중이에요. 설정에서 바꿔 주세요.",
      L"설정 파일을 읽지 못했어요",
      L"이전 설정으로 계속 녹화합니다.",
      L"클립 저장 중 %s",
      L"임시 저장 공간이 부족해요",
      L"공간이 모자라 가장 오래된 부분부터 지웠어요. 설정에서 임시 저장 위치를 바꾸거나 공간을 확보해 주세요.",
      L"임시 저장 공간에 기록할 수 없어요",
      L"설정에서 임시 저장 위치를 확인해 주세요. 드라이브가 없거나 읽기 전용일 수 있어요.",
      L"업데이트가 있어요",
      L"Kaptora %s 버전이 나왔어요. 눌러서 업데이트하세요.",
  };
  return table;
}

const TextTable& TextsForLanguage(const std::string& language) {
  return language == "en" ? EnglishTexts() : KoreanTexts();
}

std::wstring FillText(std::wstring_view pattern, std::initializer_list<std::wstring_view> values) {
  std::wstring out;
  auto next = values.begin();
  for (size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == L'%' && i + 1 < pattern.size() && pattern[i + 1] == L's' && next != values.end()) {
      out.append(*next++);
      ++i;
    } else {
      out.push_back(pattern[i]);
    }
  }
  return out;
}

std::wstring MinutesSeconds(double seconds) {
  const auto total = static_cast<int64_t>(seconds + 0.5);
  char text[32];
  std::snprintf(text, sizeof text, "%d:%02d", static_cast<int>(total / 60), static_cast<int>(total % 60));
  return std::wstring(text, text + std::char_traits<char>::length(text));
}

}  // namespace kp
