#include "support/fault_files.h"

#include <algorithm>

namespace kp::test {

namespace {

// Forwards to the real file, applying a write budget and a read budget.
class FaultFile : public File {
 public:
  FaultFile(std::unique_ptr<File> real, std::optional<uint64_t> writeBudget, uint32_t writeError,
            std::optional<uint64_t> readBudget, std::shared_ptr<FaultFiles::Gate> gate = nullptr)
      : real_(std::move(real)),
        writeBudget_(writeBudget),
        writeError_(writeError),
        readBudget_(readBudget),
        gate_(std::move(gate)) {}

  IoStatus Write(const void* data, size_t size) override {
    if (gate_) gate_->Pass();
    if (writeBudget_) {
      if (size > *writeBudget_) return IoStatus::Failure(writeError_);
      *writeBudget_ -= size;
    }
    return real_->Write(data, size);
  }
  IoStatus Read(void* data, size_t size, size_t* bytesRead) override {
    if (readBudget_) {
      uint64_t left = *readBudget_ > position_ ? *readBudget_ - position_ : 0;
      size = static_cast<size_t>(std::min<uint64_t>(size, left));
      if (size == 0) {
        *bytesRead = 0;
        return IoStatus::Success();
      }
    }
    IoStatus status = real_->Read(data, size, bytesRead);
    if (status) position_ += *bytesRead;
    return status;
  }
  IoStatus Seek(uint64_t offset) override {
    IoStatus status = real_->Seek(offset);
    if (status) position_ = offset;
    return status;
  }
  IoStatus Size(uint64_t* size) override { return real_->Size(size); }
  IoStatus Preallocate(uint64_t size) override { return real_->Preallocate(size); }
  IoStatus Close() override { return real_->Close(); }

 private:
  std::unique_ptr<File> real_;
  std::optional<uint64_t> writeBudget_;
  uint32_t writeError_;
  std::optional<uint64_t> readBudget_;
  std::shared_ptr<FaultFiles::Gate> gate_;
  uint64_t position_ = 0;
};

}  // namespace

void FaultFiles::Gate::Pass() {
  std::unique_lock lock(mutex);
  ++waiting;
  changed.notify_all();
  changed.wait(lock, [this] { return open || permits > 0; });
  if (!open) --permits;
  --waiting;
  changed.notify_all();
}

const FaultFiles::Rule* FaultFiles::Match(const std::vector<Rule>& rules, const std::wstring& path) {
  for (const Rule& rule : rules) {
    if (path.find(rule.pathContains) != std::wstring::npos) return &rule;
  }
  return nullptr;
}

void FaultFiles::FailCreate(std::wstring pathContains, uint32_t error) {
  std::lock_guard lock(mutex_);
  createRules_.push_back({std::move(pathContains), error, 0});
}
void FaultFiles::FailWritesAfter(std::wstring pathContains, uint64_t bytes, uint32_t error) {
  std::lock_guard lock(mutex_);
  writeRules_.push_back({std::move(pathContains), error, bytes});
}
void FaultFiles::FailRename(std::wstring targetContains, uint32_t error, int times) {
  std::lock_guard lock(mutex_);
  // A rename rule's byte field counts the failures still to come.
  renameRules_.push_back({std::move(targetContains), error, times < 0 ? UINT64_MAX : static_cast<uint64_t>(times)});
}
void FaultFiles::FailOpenForRead(std::wstring pathContains, uint32_t error) {
  std::lock_guard lock(mutex_);
  openRules_.push_back({std::move(pathContains), error, 0});
}
void FaultFiles::EndReadsAfter(std::wstring pathContains, uint64_t bytes) {
  std::lock_guard lock(mutex_);
  readRules_.push_back({std::move(pathContains), 0, bytes});
}
void FaultFiles::SetFreeSpace(std::optional<uint64_t> bytes) {
  std::lock_guard lock(mutex_);
  freeSpace_ = bytes;
}
void FaultFiles::FailFreeSpace(uint32_t error) {
  std::lock_guard lock(mutex_);
  freeSpaceError_ = error;
}
void FaultFiles::HoldWrites(std::wstring pathContains) {
  std::lock_guard lock(mutex_);
  holdRules_.push_back({std::move(pathContains), 0, 0});
}
void FaultFiles::AllowWrites(int count) {
  std::lock_guard lock(gate_->mutex);
  gate_->permits += count;
  gate_->changed.notify_all();
}
void FaultFiles::ReleaseWrites() {
  std::lock_guard lock(gate_->mutex);
  gate_->open = true;
  gate_->changed.notify_all();
}
int FaultFiles::heldWrites() const {
  std::lock_guard lock(gate_->mutex);
  return gate_->waiting;
}
void FaultFiles::ClearFaults() {
  ReleaseWrites();
  std::lock_guard lock(mutex_);
  holdRules_.clear();
  freeSpaceError_.reset();
  createRules_.clear();
  writeRules_.clear();
  renameRules_.clear();
  openRules_.clear();
  readRules_.clear();
  freeSpace_.reset();
  heldElsewhere_.clear();
}

bool FaultFiles::HoldLockElsewhere(const std::wstring& path) {
  std::unique_ptr<FileLock> held;
  if (!real_.ClaimLock(path, &held)) return false;
  std::lock_guard lock(mutex_);
  heldElsewhere_.push_back(std::move(held));
  return true;
}
int FaultFiles::createCalls() const {
  std::lock_guard lock(mutex_);
  return createCalls_;
}

IoStatus FaultFiles::Create(const std::wstring& path, const CreateOptions& options, std::unique_ptr<File>* out) {
  std::optional<uint64_t> budget;
  uint32_t writeError = 0;
  std::shared_ptr<Gate> gate;
  {
    std::lock_guard lock(mutex_);
    ++createCalls_;
    if (const Rule* rule = Match(createRules_, path)) return IoStatus::Failure(rule->error);
    if (const Rule* rule = Match(writeRules_, path)) {
      budget = rule->bytes;
      writeError = rule->error;
    }
    if (Match(holdRules_, path) != nullptr) gate = gate_;
  }
  std::unique_ptr<File> real;
  IoStatus status = real_.Create(path, options, &real);
  if (!status) return status;
  *out = std::make_unique<FaultFile>(std::move(real), budget, writeError, std::nullopt, std::move(gate));
  return status;
}

IoStatus FaultFiles::CreateScratch(const std::wstring& path, std::unique_ptr<File>* out) {
  std::optional<uint64_t> budget;
  uint32_t writeError = 0;
  {
    std::lock_guard lock(mutex_);
    ++createCalls_;
    if (const Rule* rule = Match(createRules_, path)) return IoStatus::Failure(rule->error);
    if (const Rule* rule = Match(writeRules_, path)) {
      budget = rule->bytes;
      writeError = rule->error;
    }
  }
  std::unique_ptr<File> real;
  IoStatus status = real_.CreateScratch(path, &real);
  if (!status) return status;
  *out = std::make_unique<FaultFile>(std::move(real), budget, writeError, std::nullopt);
  return status;
}

IoStatus FaultFiles::OpenForRead(const std::wstring& path, std::unique_ptr<File>* out) {
  std::optional<uint64_t> budget;
  {
    std::lock_guard lock(mutex_);
    if (const Rule* rule = Match(openRules_, path)) return IoStatus::Failure(rule->error);
    if (const Rule* rule = Match(readRules_, path)) budget = rule->bytes;
  }
  std::unique_ptr<File> real;
  IoStatus status = real_.OpenForRead(path, &real);
  if (!status) return status;
  *out = std::make_unique<FaultFile>(std::move(real), std::nullopt, 0, budget);
  return status;
}

IoStatus FaultFiles::ReplaceRename(const std::wstring& from, const std::wstring& to) {
  {
    std::lock_guard lock(mutex_);
    for (Rule& rule : renameRules_) {
      if (rule.bytes == 0 || to.find(rule.pathContains) == std::wstring::npos) continue;
      if (rule.bytes != UINT64_MAX) --rule.bytes;
      return IoStatus::Failure(rule.error);
    }
  }
  return real_.ReplaceRename(from, to);
}

IoStatus FaultFiles::Delete(const std::wstring& path) { return real_.Delete(path); }
IoStatus FaultFiles::SetHidden(const std::wstring& path, bool hidden) { return real_.SetHidden(path, hidden); }
IoStatus FaultFiles::CreateFolderChain(const std::wstring& path) { return real_.CreateFolderChain(path); }
IoStatus FaultFiles::ListFiles(const std::wstring& folder, std::vector<std::wstring>* names) {
  return real_.ListFiles(folder, names);
}
IoStatus FaultFiles::FreeSpace(const std::wstring& path, uint64_t* bytes) {
  {
    std::lock_guard lock(mutex_);
    if (freeSpaceError_) return IoStatus::Failure(*freeSpaceError_);
    if (freeSpace_) {
      *bytes = *freeSpace_;
      return IoStatus::Success();
    }
  }
  return real_.FreeSpace(path, bytes);
}
FileInfo FaultFiles::Stat(const std::wstring& path) { return real_.Stat(path); }

IoStatus FaultFiles::ClaimLock(const std::wstring& path, std::unique_ptr<FileLock>* out) {
  return real_.ClaimLock(path, out);
}
IoStatus FaultFiles::ListFolders(const std::wstring& folder, std::vector<std::wstring>* names) {
  return real_.ListFolders(folder, names);
}
IoStatus FaultFiles::DeleteFolder(const std::wstring& path) { return real_.DeleteFolder(path); }

}  // namespace kp::test
