#include "platform/files.h"

#include <algorithm>

#include "platform/clone_probe_memo.h"
#include "platform/path.h"

namespace kp {

namespace {

constexpr size_t kCopyPiece = 8'388'608;  // 8 MiB per read and write

}  // namespace

IoStatus File::CopyRange(File& source, uint64_t offset, uint64_t length) {
  if (length == 0) return IoStatus::Success();
  IoStatus status = source.Seek(offset);
  if (!status) return status;
  const size_t pieceSize = static_cast<size_t>(std::min<uint64_t>(length, kCopyPiece));
  // Read straight into the buffer that is written: no second copy.
  auto buffer = std::make_unique_for_overwrite<char[]>(pieceSize);
  while (length > 0) {
    size_t got = 0;
    status = source.Read(buffer.get(), static_cast<size_t>(std::min<uint64_t>(length, pieceSize)), &got);
    if (!status) return status;
    if (got == 0) return IoStatus::Failure(kErrorHandleEof);
    status = Write(buffer.get(), got);
    if (!status) return status;
    length -= got;
  }
  return IoStatus::Success();
}

IoStatus File::CloneRange(File&, uint64_t, uint64_t) { return IoStatus::Failure(kErrorNotSupported); }

BlockCloning Files::ProbeBlockCloning(const std::wstring&, const std::wstring&) { return {}; }

BlockCloning CloneProbeMemo::Get(const std::wstring& sourcePath, const std::wstring& targetFolder,
                                 const std::function<BlockCloning()>& probe) {
  auto key = std::make_pair(ParentFolder(sourcePath), targetFolder);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = known_.find(key);
    if (it != known_.end()) return it->second;
  }
  // Probed without the lock: it touches the disk.
  const BlockCloning result = probe();
  std::lock_guard<std::mutex> lock(mutex_);
  known_.emplace(std::move(key), result);
  return result;
}

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
