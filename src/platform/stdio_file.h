// C runtime streams for the log: opened for untranslated append, shared with
// other readers and writers (_wfsopen "ab", _SH_DENYNO on Windows).
#pragma once

#include <cstdio>
#include <string>

namespace kp {

std::FILE* OpenSharedAppend(const std::wstring& path);

}  // namespace kp
