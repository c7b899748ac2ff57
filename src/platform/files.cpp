#include "platform/files.h"

namespace kp {

IoStatus Files::CreateScratch(const std::wstring&, std::unique_ptr<File>*) {
  return IoStatus::Failure(kErrorAccessDenied);
}

IoStatus ReadWholeFile(Files& files, const std::wstring& path, std::string* out) {
  std::unique_ptr<File> file;
  IoStatus status = files.OpenForRead(path, &file);
  if (!status) return status;
  out->clear();
  char chunk[4096];
  for (;;) {
    size_t got = 0;
    status = file->Read(chunk, sizeof chunk, &got);
    if (!status) return status;
    if (got == 0) break;
    out->append(chunk, got);
  }
  return file->Close();
}

namespace {

constexpr int64_t kRenameRetryWaitMs = 50;
constexpr int64_t kRenamePatience = 2 * kTicksPerSecond;

bool IsBusy(uint32_t error) { return error == kErrorSharingViolation || error == kErrorAccessDenied; }

}  // namespace

IoStatus ReplaceRenamePatiently(Files& files, const std::wstring& from, const std::wstring& to, Clock& clock) {
  const int64_t start = clock.Now();
  for (;;) {
    IoStatus status = files.ReplaceRename(from, to);
    if (status || !IsBusy(status.error) || clock.Now() - start >= kRenamePatience) return status;
    clock.SleepMs(kRenameRetryWaitMs);
  }
}

IoStatus WriteFileAtomically(Files& files, const std::wstring& path, const std::string& bytes, Clock& clock) {
  const std::wstring temporary = path + L".tmp";
  std::unique_ptr<File> file;
  IoStatus status = files.Create(temporary, CreateOptions{}, &file);
  if (!status) return status;  // never created: nothing to remove
  status = file->Write(bytes.data(), bytes.size());
  IoStatus closed = file->Close();
  if (status) status = closed;
  if (status) status = ReplaceRenamePatiently(files, temporary, path, clock);
  if (!status) files.Delete(temporary);
  return status;
}

}  // namespace kp
