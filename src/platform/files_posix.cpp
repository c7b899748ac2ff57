// POSIX edge of the file-system seam. Wide paths become UTF-8 here and
// nowhere else. POSIX lets any opener read, write or unlink a file that is
// open, which is the sharing the Windows edge asks for explicitly.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#ifdef __linux__
#include <linux/fs.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "platform/clone_probe_memo.h"
#include "platform/files.h"
#include "platform/text.h"

namespace kp {

namespace {

IoStatus Errno() { return IoStatus::Failure(static_cast<uint32_t>(errno)); }

std::string Native(const std::wstring& path) { return WideToUtf8(path); }

// One copy_file_range call moves at most this much, so a call never runs
// for long and a signal or a full disk is noticed between calls.
constexpr size_t kMaxKernelCopy = 1 << 30;

class PosixFile : public File {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}
  ~PosixFile() override {
    if (fd_ >= 0) ::close(fd_);
  }

  IoStatus Write(const void* data, size_t size) override {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
      ssize_t n = ::write(fd_, bytes, size);
      if (n < 0) {
        if (errno == EINTR) continue;
        return Errno();
      }
      if (n == 0) return IoStatus::Failure(ENOSPC);
      bytes += n;
      size -= static_cast<size_t>(n);
    }
    return IoStatus::Success();
  }

  IoStatus Read(void* data, size_t size, size_t* bytesRead) override {
    for (;;) {
      ssize_t n = ::read(fd_, data, size);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return Errno();
      *bytesRead = static_cast<size_t>(n);
      return IoStatus::Success();
    }
  }

  IoStatus Seek(uint64_t offset) override {
    if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) return Errno();
    return IoStatus::Success();
  }

  IoStatus Size(uint64_t* size) override {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return Errno();
    *size = static_cast<uint64_t>(st.st_size);
    return IoStatus::Success();
  }

  IoStatus Preallocate(uint64_t size) override {
#ifdef __linux__
    // Reserve blocks without changing the visible length.
    if (::fallocate(fd_, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)) != 0) return Errno();
    return IoStatus::Success();
#else
    (void)size;
    return IoStatus::Success();
#endif
  }

  // The kernel copies between the two files (sharing blocks where the file
  // system can and the range allows). A short copy is continued; a copy
  // that makes no progress before the end or fails in any way (other file
  // system, no such call, not supported, ...) leaves the rest to the
  // read/write loop, which reports a real read or write error.
  IoStatus CopyRange(File& source, uint64_t offset, uint64_t length) override {
#ifdef __linux__
    if (auto* from = dynamic_cast<PosixFile*>(&source)) {
      loff_t in = static_cast<loff_t>(offset);
      while (length > 0) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(length, kMaxKernelCopy));
        const ssize_t n = ::copy_file_range(from->fd_, &in, fd_, nullptr, want, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        length -= static_cast<uint64_t>(n);
      }
      offset = static_cast<uint64_t>(in);
    }
#endif
    return File::CopyRange(source, offset, length);
  }

  IoStatus CloneRange(File& source, uint64_t offset, uint64_t length) override {
#ifdef __linux__
    auto* from = dynamic_cast<PosixFile*>(&source);
    if (from == nullptr) return IoStatus::Failure(EOPNOTSUPP);
    if (length == 0) return IoStatus::Success();  // FICLONERANGE would read 0 as "to the end"
    const off_t at = ::lseek(fd_, 0, SEEK_CUR);
    if (at < 0) return Errno();
    file_clone_range range{};
    range.src_fd = from->fd_;
    range.src_offset = offset;
    range.src_length = length;
    range.dest_offset = static_cast<uint64_t>(at);
    if (::ioctl(fd_, FICLONERANGE, &range) != 0) return Errno();
    if (::lseek(fd_, at + static_cast<off_t>(length), SEEK_SET) < 0) return Errno();
    return IoStatus::Success();
#else
    return File::CloneRange(source, offset, length);
#endif
  }

  IoStatus Close() override {
    int fd = fd_;
    fd_ = -1;
    if (fd >= 0 && ::close(fd) != 0) return Errno();
    return IoStatus::Success();
  }

 private:
  int fd_;
};

// The names in `folder` whose status (read by `statFunction`) `keep` accepts.
template <typename Keep>
IoStatus ListNames(const std::wstring& folder, int (*statFunction)(const char*, struct stat*), Keep keep,
                   std::vector<std::wstring>* names) {
  names->clear();
  std::string native = Native(folder);
  DIR* dir = ::opendir(native.c_str());
  if (dir == nullptr) return Errno();
  while (dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    if (statFunction((native + "/" + name).c_str(), &st) == 0 && keep(st)) names->push_back(Utf8ToWide(name));
  }
  ::closedir(dir);
  return IoStatus::Success();
}

class PosixFileLock : public FileLock {
 public:
  PosixFileLock(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
  // Unlinked while still locked: whoever opens the path from now on makes a
  // new file, and the old one's lock goes with the descriptor.
  ~PosixFileLock() override {
    ::unlink(path_.c_str());
    ::close(fd_);
  }

 private:
  std::string path_;
  int fd_;
};

class PosixFiles : public Files {
 public:
  IoStatus Create(const std::wstring& path, const CreateOptions& options, std::unique_ptr<File>* out) override {
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC;
    flags |= options.mode == CreateMode::kExclusive ? O_EXCL : O_TRUNC;
    int fd = ::open(Native(path).c_str(), flags, 0644);
    if (fd < 0) return Errno();
    if (options.sequential) ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    *out = std::make_unique<PosixFile>(fd);
    return IoStatus::Success();
  }

  IoStatus CreateScratch(const std::wstring& path, std::unique_ptr<File>* out) override {
    int fd = ::open(Native(path).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return Errno();
    // Unlinked at once: the open descriptor keeps the data, and a crash
    // leaves nothing behind.
    if (::unlink(Native(path).c_str()) != 0) {
      IoStatus status = Errno();
      ::close(fd);
      return status;
    }
    *out = std::make_unique<PosixFile>(fd);
    return IoStatus::Success();
  }

  IoStatus OpenForRead(const std::wstring& path, std::unique_ptr<File>* out) override {
    int fd = ::open(Native(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Errno();
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
      ::close(fd);
      // A folder cannot be opened as a file, as on Windows.
      return IoStatus::Failure(EISDIR);
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    *out = std::make_unique<PosixFile>(fd);
    return IoStatus::Success();
  }

  IoStatus ReplaceRename(const std::wstring& from, const std::wstring& to) override {
    if (::rename(Native(from).c_str(), Native(to).c_str()) != 0) return Errno();
    return IoStatus::Success();
  }

  IoStatus Delete(const std::wstring& path) override {
    if (::unlink(Native(path).c_str()) != 0) return Errno();
    return IoStatus::Success();
  }

  // POSIX has no hidden attribute; a file's visibility is its name.
  IoStatus SetHidden(const std::wstring& path, bool) override {
    struct stat st {};
    if (::stat(Native(path).c_str(), &st) != 0) return Errno();
    return IoStatus::Success();
  }

  IoStatus CreateFolderChain(const std::wstring& path) override {
    std::string native = Native(path);
    if (native.empty()) return IoStatus::Failure(ENOENT);
    for (size_t i = 1; i <= native.size(); ++i) {
      if (i != native.size() && native[i] != '/') continue;
      std::string prefix = native.substr(0, i);
      if (::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return Errno();
    }
    struct stat st {};
    if (::stat(native.c_str(), &st) != 0) return Errno();
    if (!S_ISDIR(st.st_mode)) return IoStatus::Failure(ENOTDIR);
    return IoStatus::Success();
  }

  IoStatus ListFiles(const std::wstring& folder, std::vector<std::wstring>* names) override {
    return ListNames(folder, ::stat, [](const struct stat& st) { return S_ISREG(st.st_mode); }, names);
  }

  IoStatus ClaimLock(const std::wstring& path, std::unique_ptr<FileLock>* out) override {
    std::string native = Native(path);
    int fd = ::open(native.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return Errno();
    // flock locks belong to the open file description, so a second claim
    // fails even from the same process, as a second open does on Windows.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      ::close(fd);
      return IoStatus::Failure(error == EWOULDBLOCK ? kErrorSharingViolation : static_cast<uint32_t>(error));
    }
    *out = std::make_unique<PosixFileLock>(std::move(native), fd);
    return IoStatus::Success();
  }

  IoStatus ListFolders(const std::wstring& folder, std::vector<std::wstring>* names) override {
    // lstat: a link to a folder is no folder of this one.
    return ListNames(folder, ::lstat, [](const struct stat& st) { return S_ISDIR(st.st_mode); }, names);
  }

  IoStatus DeleteFolder(const std::wstring& path) override {
    if (::rmdir(Native(path).c_str()) != 0) return Errno();
    return IoStatus::Success();
  }

  IoStatus FreeSpace(const std::wstring& path, uint64_t* bytes) override {
    struct statvfs st {};
    if (::statvfs(Native(path).c_str(), &st) != 0) return Errno();
    *bytes = static_cast<uint64_t>(st.f_bavail) * static_cast<uint64_t>(st.f_frsize);
    return IoStatus::Success();
  }

  // Cloning needs both files on one file system (same st_dev) and a file
  // system that really shares blocks: one block is cloned between two
  // unnamed scratch files in the target folder to find out.
  BlockCloning ProbeBlockCloning(const std::wstring& sourcePath, const std::wstring& targetFolder) override {
    return memo_.Get(sourcePath, targetFolder, [&] { return Probe(Native(sourcePath), Native(targetFolder)); });
  }

  FileInfo Stat(const std::wstring& path) override {
    FileInfo info;
    struct stat st {};
    if (::stat(Native(path).c_str(), &st) != 0) return info;
    info.exists = true;
    info.isFolder = S_ISDIR(st.st_mode);
    info.size = static_cast<uint64_t>(st.st_size);
    return info;
  }

 private:
  static BlockCloning Probe(const std::string& source, const std::string& folder) {
    BlockCloning result;
#ifdef __linux__
    struct stat from {}, to {};
    struct statvfs volume {};
    if (::stat(source.c_str(), &from) != 0 || ::stat(folder.c_str(), &to) != 0 ||
        ::statvfs(folder.c_str(), &volume) != 0 || volume.f_bsize == 0) {
      return result;
    }
    result.blockSize = volume.f_bsize;
    if (from.st_dev != to.st_dev) return result;
    const int a = ScratchIn(folder), b = ScratchIn(folder);
    if (a >= 0 && b >= 0) {
      const std::vector<char> block(result.blockSize, 'k');
      if (::pwrite(a, block.data(), block.size(), 0) == static_cast<ssize_t>(block.size())) {
        file_clone_range range{};
        range.src_fd = a;
        range.src_length = result.blockSize;
        result.supported = ::ioctl(b, FICLONERANGE, &range) == 0;
      }
    }
    if (a >= 0) ::close(a);
    if (b >= 0) ::close(b);
#else
    (void)source;
    (void)folder;
#endif
    return result;
  }

#ifdef __linux__
  // A file in `folder` without a name (or unlinked at once where the file
  // system has no O_TMPFILE), so nothing of it outlives the probe.
  static int ScratchIn(const std::string& folder) {
    int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
    static std::atomic<unsigned> counter{0};
    const std::string path = folder + "/.kaptora-clone-probe-" + std::to_string(::getpid()) + "-" +
                             std::to_string(counter.fetch_add(1));
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) ::unlink(path.c_str());
    return fd;
  }
#endif

  CloneProbeMemo memo_;
};

}  // namespace

Files& SystemFiles() {
  static PosixFiles files;
  return files;
}

}  // namespace kp
