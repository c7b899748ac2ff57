#include "platform/stdio_file.h"
#include "platform/text.h"

namespace kp {

std::FILE* OpenSharedAppend(const std::wstring& path) { return std::fopen(WideToUtf8(path).c_str(), "ab"); }

}  // namespace kp
