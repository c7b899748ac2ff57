#include <share.h>

#include <cstdio>

#include "platform/stdio_file.h"

namespace kp {

std::FILE* OpenSharedAppend(const std::wstring& path) { return ::_wfsopen(path.c_str(), L"ab", _SH_DENYNO); }

}  // namespace kp
