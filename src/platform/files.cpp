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

IoStatus WriteFileAtomically(Files& files, const std::wstring& path, const std::string& bytes) {
  const std::wstring temporary = path + L".tmp";
  std::unique_ptr<File> file;
  IoStatus status = files.Create(temporary, CreateOptions{}, &file);
  if (!status) return status;  // never created: nothing to remove
  status = file->Write(bytes.data(), bytes.size());
  IoStatus closed = file->Close();
  if (status) status = closed;
  if (status) status = files.ReplaceRename(temporary, path);
  if (!status) files.Delete(temporary);
  return status;
}

}  // namespace kp
