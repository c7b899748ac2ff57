// Which segment files of a folder belong to a replay buffer still alive in
// this process. A buffer clears leftover segment files when it starts and
// names its files by a counter, and segments delete their files by path, so
// two buffers of one folder alive at once (a queued save still holding the
// old one when the folder is changed back, or the same folder spelled
// differently) must neither clear nor reuse each other's files. Every buffer
// holds a lease on its folder, and so does every segment it wrote, because
// a clip may keep segments after their buffer is gone.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace kp {

class BufferFolderLease {
 public:
  // Registers one more holder of the folder whose canonical key is
  // `folderKey` (see CanonicalFolderKey). Thread-safe.
  static std::shared_ptr<BufferFolderLease> Acquire(const std::wstring& folderKey);
  ~BufferFolderLease();
  BufferFolderLease(const BufferFolderLease&) = delete;
  BufferFolderLease& operator=(const BufferFolderLease&) = delete;

  // True when no other lease of the folder was alive at Acquire: only then
  // may files left in the folder be deleted as leftovers of an earlier run.
  bool Sole() const { return sole_; }
  // The next segment number of the folder: 1 for the first segment after the
  // folder had no live lease, and never a number a live lease handed out.
  uint64_t NextSegmentIndex();

  // The bytes held in the folder's segment files by this lease's buffer.
  std::atomic<uint64_t> bytes{0};

 private:
  BufferFolderLease(std::wstring folderKey, bool sole) : key_(std::move(folderKey)), sole_(sole) {}

  const std::wstring key_;
  const bool sole_;
};

}  // namespace kp
