// A `Files` that passes every call to a real one and fails the calls a test
// names: creation, writes past a byte budget (a full disk or a short write),
// renames, opening for read, reads past a byte budget (a short file), free
// space; and it can stall writes. Rules match a path by substring; they stay
// until cleared. Thread-safe, since the replay buffer's writer thread uses it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/files.h"

namespace kp::test {

class FaultFiles : public Files {
 public:
  explicit FaultFiles(Files& real = SystemFiles()) : real_(real) {}

  void FailCreate(std::wstring pathContains, uint32_t error = kErrorAccessDenied);
  // Each file opened after this call accepts `bytes` bytes in all; the write
  // that would pass the budget fails with `error` (and writes nothing).
  void FailWritesAfter(std::wstring pathContains, uint64_t bytes, uint32_t error = kErrorDiskFull);
  // Renames onto a matching target fail with `error`; with `times` given,
  // only the next `times` of them (a scanner that holds a new file for a
  // moment without delete sharing), after which they succeed again.
  void FailRename(std::wstring targetContains, uint32_t error = kErrorAccessDenied, int times = -1);
  void FailOpenForRead(std::wstring pathContains, uint32_t error = kErrorFileNotFound);
  // Reads of matching files end (0 bytes, success) after `bytes` bytes: the
  // file looks shorter than it is.
  void EndReadsAfter(std::wstring pathContains, uint64_t bytes);
  // Reports this free space instead of the real one.
  void SetFreeSpace(std::optional<uint64_t> bytes);
  // The free-space query fails with `error`.
  void FailFreeSpace(uint32_t error = kErrorAccessDenied);
  // Writes to matching files opened after this call wait (a stalled disk)
  // until AllowWrites lets some through or ReleaseWrites opens the gate for
  // good. A held write that fails by a write rule fails once it passes.
  void HoldWrites(std::wstring pathContains);
  void AllowWrites(int count);
  void ReleaseWrites();
  // Takes the real lock `path` as another process does (a second engine on
  // the same folder) and holds it until ClearFaults.
  bool HoldLockElsewhere(const std::wstring& path);
  void ClearFaults();

  int createCalls() const;
  // Writes waiting at the gate right now.
  int heldWrites() const;

  IoStatus Create(const std::wstring& path, const CreateOptions& options,
                  std::unique_ptr<File>* out) override;
  IoStatus OpenForRead(const std::wstring& path, std::unique_ptr<File>* out) override;
  IoStatus ReplaceRename(const std::wstring& from, const std::wstring& to) override;
  IoStatus Delete(const std::wstring& path) override;
  IoStatus SetHidden(const std::wstring& path, bool hidden) override;
  IoStatus CreateFolderChain(const std::wstring& path) override;
  IoStatus ListFiles(const std::wstring& folder, std::vector<std::wstring>* names) override;
  IoStatus FreeSpace(const std::wstring& path, uint64_t* bytes) override;
  FileInfo Stat(const std::wstring& path) override;
  // Create and write rules apply as for Create.
  IoStatus CreateScratch(const std::wstring& path, std::unique_ptr<File>* out) override;
  IoStatus ClaimLock(const std::wstring& path, std::unique_ptr<FileLock>* out) override;
  IoStatus ListFolders(const std::wstring& folder, std::vector<std::wstring>* names) override;
  IoStatus DeleteFolder(const std::wstring& path) override;

 private:
  struct Rule {
    std::wstring pathContains;
    uint32_t error = 0;
    uint64_t bytes = 0;
  };
  static const Rule* Match(const std::vector<Rule>& rules, const std::wstring& path);

 public:
  // Shared by the gated files; public only for them.
  struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
    int permits = 0;
    int waiting = 0;
    void Pass();
  };

 private:
  Files& real_;
  mutable std::mutex mutex_;
  std::vector<Rule> createRules_, writeRules_, renameRules_, openRules_, readRules_, holdRules_;
  std::vector<std::unique_ptr<FileLock>> heldElsewhere_;
  std::optional<uint64_t> freeSpace_;
  std::optional<uint32_t> freeSpaceError_;
  std::shared_ptr<Gate> gate_ = std::make_shared<Gate>();
  int createCalls_ = 0;
};

}  // namespace kp::test
