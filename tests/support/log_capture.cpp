#include "support/log_capture.h"

#include "app/log.h"

namespace kp::test {

LogCapture::LogCapture() { SetLogObserver(&LogCapture::Observe, this); }
LogCapture::~LogCapture() { SetLogObserver(nullptr, nullptr); }

void LogCapture::Observe(const char* message, void* context) {
  auto* self = static_cast<LogCapture*>(context);
  std::lock_guard lock(self->mutex_);
  self->lines_.emplace_back(message);
}

std::vector<std::string> LogCapture::Lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

bool LogCapture::Has(const std::string& line) const {
  std::lock_guard lock(mutex_);
  for (const auto& l : lines_) {
    if (l == line) return true;
  }
  return false;
}

int LogCapture::CountStartingWith(const std::string& prefix) const {
  std::lock_guard lock(mutex_);
  int count = 0;
  for (const auto& l : lines_) {
    if (l.rfind(prefix, 0) == 0) ++count;
  }
  return count;
}

void LogCapture::Clear() {
  std::lock_guard lock(mutex_);
  lines_.clear();
}

}  // namespace kp::test
