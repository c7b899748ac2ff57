// The file-system seam. Every module that touches files (segments, clips,
// settings, logs) goes through `Files`, so tests can inject short writes, a
// full disk, failed renames and vanished files, and so the Windows and POSIX
// edges stay the only places that call the operating system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace kp {

// Outcome of one file-system call. `error` is the system's error code
// (GetLastError on Windows, errno on POSIX), printed by callers as
// "(error %lu)"; 0 means success. A short write reports the platform's
// "disk full" code, because that is what a short write means in practice.
struct IoStatus {
  uint32_t error = 0;

  bool Ok() const { return error == 0; }
  explicit operator bool() const { return Ok(); }
  static IoStatus Success() { return {}; }
  static IoStatus Failure(uint32_t code) { return {code == 0 ? 1u : code}; }
};

// Portable error codes the fakes and the core use where no system call
// produced one. Values match Windows so logs read the same on both builds.
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorSharingViolation = 32;
inline constexpr uint32_t kErrorDiskFull = 112;
inline constexpr uint32_t kErrorAlreadyExists = 183;
inline constexpr uint32_t kErrorHandleEof = 38;
inline constexpr uint32_t kErrorNotSupported = 50;

// Whether a file system can share blocks between files (reflink on XFS and
// btrfs, block cloning on ReFS and Dev Drive), and in which unit.
struct BlockCloning {
  bool supported = false;
  uint64_t blockSize = 0;  // file-system block (cluster) size; 0 when unknown
};

// An open file. Reads and writes are sequential from the current position.
// Destruction closes the file (errors on that close are lost; call Close to
// see them).
class File {
 public:
  virtual ~File() = default;

  // Writes all `size` bytes or fails; a short write is a failure.
  virtual IoStatus Write(const void* data, size_t size) = 0;
  // Reads up to `size` bytes; `*bytesRead` is 0 at the end of the file.
  virtual IoStatus Read(void* data, size_t size, size_t* bytesRead) = 0;
  // Moves to an absolute position.
  virtual IoStatus Seek(uint64_t offset) = 0;
  virtual IoStatus Size(uint64_t* size) = 0;
  // Reserves disk space for a file that will grow to `size` bytes. Advisory:
  // the file's length does not change, and callers may ignore failure.
  virtual IoStatus Preallocate(uint64_t size) = 0;
  virtual IoStatus Close() = 0;

  // Appends `length` bytes of `source`, starting at `offset`, at this file's
  // position and moves the position past them; `source`'s own position is
  // undefined afterwards. The system edges let the kernel copy (and, on
  // file systems that can, share blocks); this default, which they fall
  // back to, reads straight into one buffer and writes that buffer. Fails
  // with kErrorHandleEof when `source` ends before the range does.
  virtual IoStatus CopyRange(File& source, uint64_t offset, uint64_t length);
  // Appends the range as CopyRange does, but only by sharing the blocks:
  // `offset`, `length` and this file's position must be multiples of the
  // block size that Files::ProbeBlockCloning reported, and the range must lie
  // within `source`. Fails (kErrorNotSupported by default) without changing
  // this file's content or position where it cannot; callers then copy.
  virtual IoStatus CloneRange(File& source, uint64_t offset, uint64_t length);
};

enum class CreateMode {
  kTruncate,   // create, or open and truncate an existing file
  kExclusive,  // fail with kErrorAlreadyExists when the file exists
};

struct CreateOptions {
  CreateMode mode = CreateMode::kTruncate;
  bool hidden = false;       // FILE_ATTRIBUTE_HIDDEN while it is being written
  bool temporary = false;    // FILE_ATTRIBUTE_TEMPORARY: mostly kept in cache
  bool sequential = false;   // FILE_FLAG_SEQUENTIAL_SCAN
  bool shareRead = false;    // others may read while it is open
  bool shareDelete = false;  // others may delete or rename it while open
};

// A lock on a file that one opener at a time can hold, across processes
// (Windows: the file open without sharing; POSIX: an flock). It goes with
// the object, and with the process that holds it; the lock file is removed
// as it goes (on Windows by the system even when the process dies).
class FileLock {
 public:
  virtual ~FileLock() = default;
};

struct FileInfo {
  bool exists = false;
  bool isFolder = false;
  uint64_t size = 0;
};

class Files {
 public:
  virtual ~Files() = default;

  // Opens for writing (write-only access).
  virtual IoStatus Create(const std::wstring& path, const CreateOptions& options,
                          std::unique_ptr<File>* out) = 0;
  // Opens an existing file for sequential reading, sharing read, write and
  // delete with every other opener (segment files are read while they grow).
  // A folder cannot be opened.
  virtual IoStatus OpenForRead(const std::wstring& path, std::unique_ptr<File>* out) = 0;
  // Atomically moves `from` over `to`, replacing an existing `to`.
  virtual IoStatus ReplaceRename(const std::wstring& from, const std::wstring& to) = 0;
  virtual IoStatus Delete(const std::wstring& path) = 0;
  // Sets the hidden attribute (true) or normal attributes (false).
  virtual IoStatus SetHidden(const std::wstring& path, bool hidden) = 0;
  // Creates the folder and every missing folder above it; an existing
  // folder is success.
  virtual IoStatus CreateFolderChain(const std::wstring& path) = 0;
  // Names (not paths) of the plain files directly inside `folder`.
  virtual IoStatus ListFiles(const std::wstring& folder, std::vector<std::wstring>* names) = 0;
  // Bytes available to this user on the volume that holds `path`.
  virtual IoStatus FreeSpace(const std::wstring& path, uint64_t* bytes) = 0;
  // Never fails: a missing path reports exists = false.
  virtual FileInfo Stat(const std::wstring& path) = 0;
  // Creates (or truncates) a hidden, unshared scratch file open for reading
  // and writing that the system deletes when it is closed, so nothing of it
  // outlives the process, even after a crash (POSIX unlinks it right after
  // opening). File systems that cannot make one report access denied.
  virtual IoStatus CreateScratch(const std::wstring& path, std::unique_ptr<File>* out);
  // Creates the lock file `path` when needed and takes its lock. A lock that
  // another opener (of any process) holds, or a lock file that is going
  // away, fails with kErrorSharingViolation or kErrorAccessDenied.
  virtual IoStatus ClaimLock(const std::wstring& path, std::unique_ptr<FileLock>* out) = 0;
  // Names of the folders directly inside `folder`; links are left out.
  virtual IoStatus ListFolders(const std::wstring& folder, std::vector<std::wstring>* names) = 0;
  // Removes an empty folder.
  virtual IoStatus DeleteFolder(const std::wstring& path) = 0;
  // Whether File::CloneRange can share blocks of the existing file
  // `sourcePath` into files created in `targetFolder`, and the block size to
  // align to. The system edges try it once per pair of folders and remember
  // the answer; this default says no.
  virtual BlockCloning ProbeBlockCloning(const std::wstring& sourcePath, const std::wstring& targetFolder);
};

// The operating system's file system. Thread-safe; lives for the process.
Files& SystemFiles();

// Reads a whole file into `out`. Fails for a folder or a missing file.
IoStatus ReadWholeFile(Files& files, const std::wstring& path, std::string* out);

// Files::ReplaceRename for the final step of a finished file. Virus
// scanners, the search indexer and sync clients open new files for a moment
// without delete sharing, so a sharing violation or access denied is tried
// again every 50 ms on `clock` for up to 2 s before its failure is returned.
IoStatus ReplaceRenamePatiently(Files& files, const std::wstring& from, const std::wstring& to,
                                Clock& clock = SystemClock());

// Writes `bytes` to `path` through `path` + ".tmp" and a patient
// replace-rename; on any failure the temporary file is deleted and an
// existing `path` is untouched.
IoStatus WriteFileAtomically(Files& files, const std::wstring& path, const std::string& bytes,
                             Clock& clock = SystemClock());

}  // namespace kp
