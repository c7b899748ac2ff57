// Remembers block-cloning probe results per (source folder, target folder),
// so that a probe which makes scratch files runs once per pair for the life
// of the file layer. Shared by the system file edges; thread-safe.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "platform/files.h"

namespace kp {

class CloneProbeMemo {
 public:
  // The remembered answer for the folder of `sourcePath` and `targetFolder`,
  // or `probe`'s, which is remembered. Probes of different pairs may run at
  // the same time; one pair's probe may run twice when two threads race.
  BlockCloning Get(const std::wstring& sourcePath, const std::wstring& targetFolder,
                   const std::function<BlockCloning()>& probe);

 private:
  std::mutex mutex_;
  std::map<std::pair<std::wstring, std::wstring>, BlockCloning> known_;
};

}  // namespace kp
