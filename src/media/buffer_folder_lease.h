// The claim of a replay buffer on its folder. A buffer clears leftover
// segment files when it starts and names its files by a counter, and
// segments delete their files by path, so two buffers on one folder must
// neither clear nor reuse each other's files: whether both live in this
// process (a queued save still holding the old buffer when the folder is
// changed back, or the same folder under another name) or in two (engines of
// one user in two sessions share the default buffer folder).
//
// A folder is known by its file identity (volume and file number), so an 8.3
// short name, a junction or link, a substituted drive or a "\\?\" prefix
// names the folder it leads to. In this process the leases of one folder
// share one claim and one segment counter, and only the first clears
// leftovers. Across processes the claim is the lock on "kaptora.lock" in the
// folder, held while any lease of it lives. A process that finds the folder
// claimed by another records into a folder of its own inside it, named by
// its process id, and removes that folder when its claim ends. The holder of
// a folder's lock removes, when it claims it, the per-process folders whose
// lock nobody holds (left by a process that died) with their segment files.
//
// Every buffer holds a lease, and so does every segment it wrote, because a
// clip may keep segments after their buffer is gone.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/files.h"

namespace kp {

inline constexpr wchar_t kBufferLockFileName[] = L"kaptora.lock";

class BufferFolderLease {
 public:
  // Creates `folder` (and its parents) and leases it. Thread-safe; `files`
  // must outlive the lease.
  static std::shared_ptr<BufferFolderLease> Acquire(Files& files, const std::wstring& folder);
  ~BufferFolderLease();
  BufferFolderLease(const BufferFolderLease&) = delete;
  BufferFolderLease& operator=(const BufferFolderLease&) = delete;

  // Where the buffer's segment files go: the folder itself, or this
  // process's folder inside it.
  const std::wstring& SegmentFolder() const;
  // Segment files of earlier runs that Acquire deleted (none unless it made
  // a new claim).
  int RemovedLeftovers() const { return removed_; }
  // The next segment number of the claim: 1 for the first segment after it
  // was made, and never a number a live lease handed out.
  uint64_t NextSegmentIndex();

  // The bytes held in the folder's segment files by this lease's buffer.
  std::atomic<uint64_t> bytes{0};

 // What the leases of one folder share; defined beside the registry.
  struct Claim;

 private:
  BufferFolderLease(Claim* claim, int removed) : claim_(claim), removed_(removed) {}

  Claim* const claim_;
  const int removed_;
};

}  // namespace kp
