// The last line of `record`, which names the written file. Windows prints it
// through the C runtime's wide conversion ("%ls"); POSIX prints UTF-8, since
// "%ls" of non-ASCII text fails in the C locale the program runs in.
#pragma once

#include <string>

namespace kp {

// "saved             : <path>\n" on standard output.
void PrintSavedLine(const std::wstring& path);

}  // namespace kp
