#include "media/buffer_folder_lease.h"

#include <algorithm>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/file_identity.h"
#include "platform/path.h"
#include "platform/process_id.h"

namespace kp {

struct BufferFolderLease::Claim {
  Files* files = nullptr;
  std::optional<FileIdentity> identity;  // empty when the folder cannot be opened
  std::wstring folder;
  std::wstring segmentFolder;
  bool ownFolder = false;  // segmentFolder is this process's folder inside `folder`
  std::unique_ptr<FileLock> lock;
  int leases = 0;
  uint64_t lastIndex = 0;
};

namespace {

std::mutex& RegistryMutex() {
  static std::mutex mutex;
  return mutex;
}

// Never destroyed: segments may let go of their lease from threads that
// outlive static destruction.
std::vector<BufferFolderLease::Claim*>& Registry() {
  static auto* registry = new std::vector<BufferFolderLease::Claim*>();
  return *registry;
}

// What "*.kpseg" matches: any name ending so, in any case, ".kpseg" itself
// too (the star matches nothing), as the Windows file system matches it.
bool IsSegmentFileName(const std::wstring& name) {
  static constexpr wchar_t kSuffix[] = L".kpseg";
  constexpr size_t n = sizeof(kSuffix) / sizeof(kSuffix[0]) - 1;
  if (name.size() < n) return false;
  for (size_t i = 0; i < n; ++i) {
    wchar_t c = name[name.size() - n + i];
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    if (c != kSuffix[i]) return false;
  }
  return true;
}

int RemoveSegmentFiles(Files& files, const std::wstring& folder) {
  std::vector<std::wstring> names;
  if (!files.ListFiles(folder, &names)) return 0;
  int removed = 0;
  for (const std::wstring& name : names) {
    if (IsSegmentFileName(name) && files.Delete(JoinPath(folder, name))) ++removed;
  }
  return removed;
}

bool IsProcessFolderName(const std::wstring& name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; });
}

// Per-process folders whose lock is free belong to no living process.
int RemoveDeadProcessFolders(Files& files, const std::wstring& folder) {
  std::vector<std::wstring> names;
  if (!files.ListFolders(folder, &names)) return 0;
  int removed = 0;
  for (const std::wstring& name : names) {
    if (!IsProcessFolderName(name)) continue;
    const std::wstring sub = JoinPath(folder, name);
    std::unique_ptr<FileLock> lock;
    if (!files.ClaimLock(JoinPath(sub, kBufferLockFileName), &lock)) continue;  // its process lives
    removed += RemoveSegmentFiles(files, sub);
    lock.reset();
    files.DeleteFolder(sub);  // kept, harmlessly, when it holds anything else
  }
  return removed;
}

bool HeldElsewhere(uint32_t error) { return error == kErrorSharingViolation || error == kErrorAccessDenied; }

}  // namespace

std::shared_ptr<BufferFolderLease> BufferFolderLease::Acquire(Files& files, const std::wstring& folder) {
  std::lock_guard<std::mutex> guard(RegistryMutex());
  files.CreateFolderChain(folder);
  const std::optional<FileIdentity> identity = IdentifyFile(folder);
  for (Claim* claim : Registry()) {
    const bool same = claim->identity && identity ? *claim->identity == *identity : SameFolderPath(claim->folder, folder);
    if (same) {
      ++claim->leases;
      return std::shared_ptr<BufferFolderLease>(new BufferFolderLease(claim, 0));
    }
  }

  auto claim = std::make_unique<Claim>();
  claim->files = &files;
  claim->identity = identity;
  claim->folder = folder;
  claim->segmentFolder = folder;
  claim->leases = 1;
  int removed = 0;
  const IoStatus locked = files.ClaimLock(JoinPath(folder, kBufferLockFileName), &claim->lock);
  if (locked) {
    removed = RemoveSegmentFiles(files, folder) + RemoveDeadProcessFolders(files, folder);
  } else if (HeldElsewhere(locked.error)) {
    claim->segmentFolder = JoinPath(folder, std::to_wstring(CurrentProcessId()));
    claim->ownFolder = true;
    files.CreateFolderChain(claim->segmentFolder);
    // Files in a folder of this process's number were left by a dead
    // process that had the same number.
    files.ClaimLock(JoinPath(claim->segmentFolder, kBufferLockFileName), &claim->lock);
    removed = RemoveSegmentFiles(files, claim->segmentFolder);
  } else {
    // No lock file can be made there, so no other engine can claim the
    // folder either: its leftovers are cleared as they always were.
    removed = RemoveSegmentFiles(files, folder);
  }
  Registry().push_back(claim.get());
  return std::shared_ptr<BufferFolderLease>(new BufferFolderLease(claim.release(), removed));
}

BufferFolderLease::~BufferFolderLease() {
  std::lock_guard<std::mutex> guard(RegistryMutex());
  if (--claim_->leases > 0) return;
  std::vector<Claim*>& registry = Registry();
  registry.erase(std::find(registry.begin(), registry.end(), claim_));
  std::unique_ptr<Claim> claim(claim_);
  claim->lock.reset();  // its lock file goes with it
  // Every segment file is gone by now: each segment held this lease.
  if (claim->ownFolder) claim->files->DeleteFolder(claim->segmentFolder);
}

const std::wstring& BufferFolderLease::SegmentFolder() const { return claim_->segmentFolder; }

uint64_t BufferFolderLease::NextSegmentIndex() {
  std::lock_guard<std::mutex> guard(RegistryMutex());
  return ++claim_->lastIndex;
}

}  // namespace kp
