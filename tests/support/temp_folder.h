// A fresh folder under the system's temporary folder, removed with its
// contents when the object goes.
#pragma once

#include <string>

namespace kp::test {

class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::wstring& path() const { return path_; }
  std::string utf8() const;
  // path() joined with `name`.
  std::wstring File(const std::wstring& name) const;

 private:
  std::wstring path_;
};

// Test helpers for plain files by path.
std::string ReadFileBytes(const std::wstring& path);
void WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool FileExists(const std::wstring& path);

}  // namespace kp::test
