// Collects the log's messages while it is alive, for tests that check the
// exact lines a component writes. One capture at a time.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace kp::test {

class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> Lines() const;
  // True when some message equals `line` exactly.
  bool Has(const std::string& line) const;
  // Number of messages that start with `prefix`.
  int CountStartingWith(const std::string& prefix) const;
  void Clear();

 private:
  static void Observe(const char* message, void* context);
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace kp::test
