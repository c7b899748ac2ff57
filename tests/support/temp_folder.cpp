#include "support/temp_folder.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "platform/path.h"
#include "platform/text.h"

namespace kp::test {

TempFolder::TempFolder() {
  std::random_device rd;
  std::filesystem::path dir = std::filesystem::temp_directory_path() /
                              ("kaptora-test-" + std::to_string(rd()) + "-" + std::to_string(rd()));
  std::filesystem::create_directories(dir);
  path_ = dir.wstring();
}

TempFolder::~TempFolder() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string TempFolder::utf8() const { return WideToUtf8(path_); }

std::wstring TempFolder::File(const std::wstring& name) const { return JoinPath(path_, name); }

std::string ReadFileBytes(const std::wstring& path) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  std::ofstream out(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::wstring& path) { return std::filesystem::exists(std::filesystem::path(path)); }

}  // namespace kp::test
