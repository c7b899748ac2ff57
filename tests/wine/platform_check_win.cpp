// Exercises the Windows edges of the platform layer on a real Win32 API
// (Wine in CI): files with sharing and attributes, the high-resolution timer,
// known folders, text conversion, and the named control objects.
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/control_channel.h"
#include "platform/files.h"
#include "platform/known_folders.h"
#include "platform/path.h"
#include "platform/text.h"
#include "win_check.h"

namespace {

using namespace kp;

void CheckFiles(const std::wstring& dir) {
  Files& files = SystemFiles();
  KP_CHECK(files.CreateFolderChain(dir + L"\\a\\b"));
  const std::wstring path = dir + L"\\a\\b\\seg.bin";
  std::unique_ptr<File> writer;
  CreateOptions options;
  options.shareRead = options.shareDelete = options.sequential = options.temporary = true;
  KP_CHECK(files.Create(path, options, &writer));
  writer->Preallocate(4096);  // advisory: Wine does not implement it
  KP_CHECK(writer->Write("0123456789", 10));
  std::unique_ptr<File> reader;
  KP_CHECK(files.OpenForRead(path, &reader));  // shared with the writer
  char buffer[8] = {};
  size_t got = 0;
  KP_CHECK(reader && reader->Seek(4) && reader->Read(buffer, 3, &got) && got == 3 && std::string(buffer, 3) == "456");
  reader.reset();
  KP_CHECK(writer->Close());

  std::unique_ptr<File> exclusive;
  KP_CHECK(files.Create(path, {CreateMode::kExclusive}, &exclusive).error == ERROR_FILE_EXISTS);

  std::unique_ptr<File> hidden;
  CreateOptions hiddenOptions;
  hiddenOptions.hidden = true;
  KP_CHECK(files.Create(path + L".part", hiddenOptions, &hidden) && hidden->Close());
  KP_CHECK((::GetFileAttributesW((path + L".part").c_str()) & FILE_ATTRIBUTE_HIDDEN) != 0);
  KP_CHECK(files.ReplaceRename(path + L".part", path));
  KP_CHECK(files.SetHidden(path, false));
  KP_CHECK((::GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_HIDDEN) == 0);
  KP_CHECK(files.Stat(path).exists && files.Stat(path).size == 0);

  std::vector<std::wstring> names;
  KP_CHECK(files.ListFiles(dir + L"\\a\\b", &names) && names == std::vector<std::wstring>{L"seg.bin"});
  uint64_t free = 0;
  KP_CHECK(files.FreeSpace(dir, &free) && free > 0);
  KP_CHECK(files.Delete(path));
  KP_CHECK(files.OpenForRead(path, &reader).error == ERROR_FILE_NOT_FOUND);
  KP_CHECK(!files.OpenForRead(dir, &reader));  // a folder is not a file
}

void CheckClockAndText() {
  uint64_t a = MonotonicNow();
  auto timer = SystemClock().CreateOneShotTimer();
  KP_CHECK(timer != nullptr);  // the high-resolution flag is accepted
  if (timer) KP_CHECK(timer->Wait(20'000));
  KP_CHECK(MonotonicNow() - a >= 20'000);
  KP_CHECK(WideToUtf8(Utf8ToWide("a\xC3\xA9\xF0\x9F\x98\x80")) == "a\xC3\xA9\xF0\x9F\x98\x80");
  KP_CHECK(Utf8ToWide("\xF0\x9F\x98\x80").size() == 2);  // a surrogate pair in UTF-16
  KP_CHECK(!GetKnownFolder(KnownFolder::kRoamingAppData).empty());
  KP_CHECK(!GetKnownFolder(KnownFolder::kLocalAppData).empty());
  KP_CHECK(JoinPath(L"C:\\x", L"Kaptora") == L"C:\\x\\Kaptora");
  std::wstring absolute = MakeAbsolutePath(L"rel\\settings.json");
  KP_CHECK(absolute.size() > 3 && absolute[1] == L':');
}

void CheckControlChannel() {
  KP_CHECK(!SignalControlEvent(ControlEvent::kSave));
  auto lock = AcquireInstanceLock();
  KP_CHECK(lock != nullptr);
  KP_CHECK(AcquireInstanceLock() == nullptr);
  auto events = CreateControlEvents();
  KP_CHECK(events != nullptr);
  if (!events) return;
  KP_CHECK(SignalControlEvent(ControlEvent::kReload) && SignalControlEvent(ControlEvent::kReload));
  auto wake = events->Wait(1000);
  KP_CHECK(wake.kind == ControlEvents::Wake::Kind::kEvent && wake.event == ControlEvent::kReload);
  KP_CHECK(events->Wait(0).kind == ControlEvents::Wake::Kind::kTimeout);  // auto-reset coalesced
  KP_CHECK(SignalControlEvent(ControlEvent::kStop));
  KP_CHECK(events->Wait(1000).event == ControlEvent::kStop);
  KP_CHECK(events->Wait(0).event == ControlEvent::kStop);  // manual reset stays set
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::printf("usage: platform_check_win <scratch folder>\n");
    return 2;
  }
  CheckFiles(argv[1]);
  CheckClockAndText();
  CheckControlChannel();
  return kp::wintest::Finish();
}
