#include "media/buffer_folder_lease.h"

#include <map>
#include <mutex>

namespace kp {

namespace {

struct FolderEntry {
  int leases = 0;
  uint64_t lastIndex = 0;
};

std::mutex& RegistryMutex() {
  static std::mutex mutex;
  return mutex;
}

// Never destroyed: segments may let go of their lease from threads that
// outlive static destruction.
std::map<std::wstring, FolderEntry>& Registry() {
  static auto* registry = new std::map<std::wstring, FolderEntry>();
  return *registry;
}

}  // namespace

std::shared_ptr<BufferFolderLease> BufferFolderLease::Acquire(const std::wstring& folderKey) {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  FolderEntry& entry = Registry()[folderKey];
  const bool sole = entry.leases == 0;
  ++entry.leases;
  return std::shared_ptr<BufferFolderLease>(new BufferFolderLease(folderKey, sole));
}

BufferFolderLease::~BufferFolderLease() {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  auto it = Registry().find(key_);
  if (it != Registry().end() && --it->second.leases == 0) Registry().erase(it);
}

uint64_t BufferFolderLease::NextSegmentIndex() {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  return ++Registry()[key_].lastIndex;
}

}  // namespace kp
