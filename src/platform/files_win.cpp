// Windows edge of the file-system seam: Win32 file handles.
#include <windows.h>
#include <shlobj.h>
#include <winioctl.h>

#include <algorithm>

#include "platform/clone_probe_memo.h"
#include "platform/files.h"
#include "platform/unique_handle_win.h"

namespace kp {

namespace {

IoStatus LastError() { return IoStatus::Failure(::GetLastError()); }

// Block cloning (ReFS, Dev Drive); MinGW's headers do not have these yet.
constexpr DWORD kFsctlDuplicateExtentsToFile = CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 209, METHOD_BUFFERED, FILE_WRITE_DATA);
constexpr DWORD kFileSupportsBlockRefcounting = 0x08000000;
struct DuplicateExtentsData {
  HANDLE fileHandle;
  LARGE_INTEGER sourceFileOffset;
  LARGE_INTEGER targetFileOffset;
  LARGE_INTEGER byteCount;
};

LARGE_INTEGER Large(uint64_t value) {
  LARGE_INTEGER result;
  result.QuadPart = static_cast<LONGLONG>(value);
  return result;
}

IoStatus SetEndOfFileAt(HANDLE handle, uint64_t size) {
  FILE_END_OF_FILE_INFO info{};
  info.EndOfFile = Large(size);
  if (!::SetFileInformationByHandle(handle, FileEndOfFileInfo, &info, sizeof info)) return LastError();
  return IoStatus::Success();
}

// The root of the volume that holds `path` ("C:\", or a mount point).
std::wstring VolumeRoot(const std::wstring& path) {
  std::wstring root(std::max<size_t>(path.size() + 2, MAX_PATH + 1), L'\0');
  if (!::GetVolumePathNameW(path.c_str(), root.data(), static_cast<DWORD>(root.size()))) return {};
  root.resize(::wcslen(root.c_str()));
  return root;
}

class WinFile : public File {
 public:
  explicit WinFile(HANDLE handle) : handle_(handle) {}

  IoStatus Write(const void* data, size_t size) override {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
      DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
      DWORD written = 0;
      if (!::WriteFile(handle_.Get(), bytes, chunk, &written, nullptr)) return LastError();
      if (written != chunk) return IoStatus::Failure(ERROR_HANDLE_DISK_FULL);
      bytes += written;
      size -= written;
    }
    return IoStatus::Success();
  }

  IoStatus Read(void* data, size_t size, size_t* bytesRead) override {
    DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    DWORD got = 0;
    if (!::ReadFile(handle_.Get(), data, chunk, &got, nullptr)) return LastError();
    *bytesRead = got;
    return IoStatus::Success();
  }

  IoStatus Seek(uint64_t offset) override {
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(offset);
    if (!::SetFilePointerEx(handle_.Get(), to, nullptr, FILE_BEGIN)) return LastError();
    return IoStatus::Success();
  }

  IoStatus Size(uint64_t* size) override {
    LARGE_INTEGER value;
    if (!::GetFileSizeEx(handle_.Get(), &value)) return LastError();
    *size = static_cast<uint64_t>(value.QuadPart);
    return IoStatus::Success();
  }

  IoStatus Preallocate(uint64_t size) override {
    FILE_ALLOCATION_INFO info{};
    info.AllocationSize.QuadPart = static_cast<LONGLONG>(size);
    if (!::SetFileInformationByHandle(handle_.Get(), FileAllocationInfo, &info, sizeof info)) return LastError();
    return IoStatus::Success();
  }

  // Shares the clusters of the range (ReFS, Dev Drive): the target must
  // already reach the end of the range, so it is extended first and cut
  // back when the file system refuses.
  IoStatus CloneRange(File& source, uint64_t offset, uint64_t length) override {
    auto* from = dynamic_cast<WinFile*>(&source);
    if (from == nullptr) return IoStatus::Failure(ERROR_NOT_SUPPORTED);
    if (length == 0) return IoStatus::Success();
    LARGE_INTEGER at{};
    if (!::SetFilePointerEx(handle_.Get(), Large(0), &at, FILE_CURRENT)) return LastError();
    const uint64_t start = static_cast<uint64_t>(at.QuadPart);
    IoStatus status = SetEndOfFileAt(handle_.Get(), start + length);
    if (!status) return status;
    DuplicateExtentsData data{from->handle_.Get(), Large(offset), at, Large(length)};
    DWORD returned = 0;
    if (!::DeviceIoControl(handle_.Get(), kFsctlDuplicateExtentsToFile, &data, sizeof data, nullptr, 0, &returned,
                           nullptr)) {
      status = LastError();
      SetEndOfFileAt(handle_.Get(), start);
      return status;
    }
    if (!::SetFilePointerEx(handle_.Get(), Large(start + length), nullptr, FILE_BEGIN)) return LastError();
    return IoStatus::Success();
  }

  IoStatus Close() override {
    HANDLE h = handle_.Release();
    if (h != nullptr && h != INVALID_HANDLE_VALUE && !::CloseHandle(h)) return LastError();
    return IoStatus::Success();
  }

 private:
  UniqueHandle handle_;
};

// The names in `folder` whose find data `keep` accepts.
template <typename Keep>
IoStatus ListNames(const std::wstring& folder, Keep keep, std::vector<std::wstring>* names) {
  names->clear();
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) {
    DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND ? IoStatus::Success() : IoStatus::Failure(error);
  }
  do {
    if (keep(data)) names->push_back(data.cFileName);
  } while (::FindNextFileW(find, &data));
  ::FindClose(find);
  return IoStatus::Success();
}

class WinFileLock : public FileLock {
 public:
  explicit WinFileLock(HANDLE handle) : handle_(handle) {}

 private:
  UniqueHandle handle_;  // closing it deletes the file
};

class WinFiles : public Files {
 public:
  IoStatus Create(const std::wstring& path, const CreateOptions& options, std::unique_ptr<File>* out) override {
    DWORD share = (options.shareRead ? FILE_SHARE_READ : 0) | (options.shareDelete ? FILE_SHARE_DELETE : 0);
    DWORD disposition = options.mode == CreateMode::kExclusive ? CREATE_NEW : CREATE_ALWAYS;
    DWORD flags = options.hidden ? FILE_ATTRIBUTE_HIDDEN : 0;
    if (options.temporary) flags |= FILE_ATTRIBUTE_TEMPORARY;
    if (options.sequential) flags |= FILE_FLAG_SEQUENTIAL_SCAN;
    if (flags == 0) flags = FILE_ATTRIBUTE_NORMAL;
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, share, nullptr, disposition, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE) return LastError();
    *out = std::make_unique<WinFile>(h);
    return IoStatus::Success();
  }

  IoStatus CreateScratch(const std::wstring& path, std::unique_ptr<File>* out) override {
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE) return LastError();
    *out = std::make_unique<WinFile>(h);
    return IoStatus::Success();
  }

  IoStatus OpenForRead(const std::wstring& path, std::unique_ptr<File>* out) override {
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE) return LastError();
    *out = std::make_unique<WinFile>(h);
    return IoStatus::Success();
  }

  IoStatus ReplaceRename(const std::wstring& from, const std::wstring& to) override {
    if (!::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return LastError();
    return IoStatus::Success();
  }

  IoStatus Delete(const std::wstring& path) override {
    if (!::DeleteFileW(path.c_str())) return LastError();
    return IoStatus::Success();
  }

  IoStatus SetHidden(const std::wstring& path, bool hidden) override {
    if (!::SetFileAttributesW(path.c_str(), hidden ? FILE_ATTRIBUTE_HIDDEN : FILE_ATTRIBUTE_NORMAL)) {
      return LastError();
    }
    return IoStatus::Success();
  }

  IoStatus CreateFolderChain(const std::wstring& path) override {
    // The manifest's longPathAware does not reach SHCreateDirectoryExW: it
    // still refuses paths of 260 characters and more, so a folder that deep
    // fails here with its error code.
    int result = ::SHCreateDirectoryExW(nullptr, path.c_str(), nullptr);
    if (result == ERROR_SUCCESS || result == ERROR_ALREADY_EXISTS || result == ERROR_FILE_EXISTS) {
      DWORD attributes = ::GetFileAttributesW(path.c_str());
      if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return IoStatus::Success();
      }
      return IoStatus::Failure(ERROR_DIRECTORY);
    }
    return IoStatus::Failure(static_cast<uint32_t>(result));
  }

  IoStatus ListFiles(const std::wstring& folder, std::vector<std::wstring>* names) override {
    return ListNames(
        folder, [](const WIN32_FIND_DATAW& data) { return (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0; },
        names);
  }

  IoStatus ClaimLock(const std::wstring& path, std::unique_ptr<FileLock>* out) override {
    // No sharing: every other open fails with a sharing violation while the
    // handle lives. Deleted on close, so a crash leaves no lock file.
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE) return LastError();
    *out = std::make_unique<WinFileLock>(h);
    return IoStatus::Success();
  }

  IoStatus ListFolders(const std::wstring& folder, std::vector<std::wstring>* names) override {
    return ListNames(
        folder,
        [](const WIN32_FIND_DATAW& data) {
          const std::wstring name = data.cFileName;
          // Junctions and links lead elsewhere: never a folder of this one.
          return (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                 (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 && name != L"." && name != L"..";
        },
        names);
  }

  IoStatus DeleteFolder(const std::wstring& path) override {
    if (!::RemoveDirectoryW(path.c_str())) return LastError();
    return IoStatus::Success();
  }

  IoStatus FreeSpace(const std::wstring& path, uint64_t* bytes) override {
    ULARGE_INTEGER available;
    if (!::GetDiskFreeSpaceExW(path.c_str(), &available, nullptr, nullptr)) return LastError();
    *bytes = available.QuadPart;
    return IoStatus::Success();
  }

  // Cloning needs one volume (same serial number) whose file system
  // reports block reference counting; clusters are its blocks.
  BlockCloning ProbeBlockCloning(const std::wstring& sourcePath, const std::wstring& targetFolder) override {
    return memo_.Get(sourcePath, targetFolder, [&] {
      BlockCloning result;
      const std::wstring sourceRoot = VolumeRoot(sourcePath), targetRoot = VolumeRoot(targetFolder);
      DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, clusters = 0;
      if (targetRoot.empty() || sourceRoot.empty() ||
          !::GetDiskFreeSpaceW(targetRoot.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters)) {
        return result;
      }
      result.blockSize = static_cast<uint64_t>(sectorsPerCluster) * bytesPerSector;
      DWORD sourceSerial = 0, targetSerial = 0, sourceFlags = 0, targetFlags = 0;
      if (::GetVolumeInformationW(sourceRoot.c_str(), nullptr, 0, &sourceSerial, nullptr, &sourceFlags, nullptr, 0) &&
          ::GetVolumeInformationW(targetRoot.c_str(), nullptr, 0, &targetSerial, nullptr, &targetFlags, nullptr, 0)) {
        result.supported = result.blockSize > 0 && sourceSerial == targetSerial &&
                           (targetFlags & kFileSupportsBlockRefcounting) != 0;
      }
      return result;
    });
  }

  FileInfo Stat(const std::wstring& path) override {
    FileInfo info;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return info;
    info.exists = true;
    info.isFolder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    info.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return info;
  }

 private:
  CloneProbeMemo memo_;
};

}  // namespace

Files& SystemFiles() {
  static WinFiles files;
  return files;
}

}  // namespace kp
