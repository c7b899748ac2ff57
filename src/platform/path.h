// Path helpers shared by every module. Paths are wide strings.
#pragma once

#include <string>
#include <string_view>

namespace kp {

#ifdef _WIN32
inline constexpr wchar_t kPathSeparator = L'\\';
// Windows accepts both; on POSIX a backslash is an ordinary file-name
// character.
inline constexpr const wchar_t* kPathSeparators = L"\\/";
#else
inline constexpr wchar_t kPathSeparator = L'/';
inline constexpr const wchar_t* kPathSeparators = L"/";
#endif

// base + separator + each part, as the Windows layout writes "\Kaptora" with
// a leading backslash; parts must not start with a separator themselves.
std::wstring JoinPath(std::wstring_view base, std::wstring_view part);

// The part of `path` up to its last separator (exclusive); the whole path
// when it has no separator. Separators are those of kPathSeparators.
std::wstring ParentFolder(std::wstring_view path);

// The part after the last separator; the whole path when there is none.
std::wstring FileName(std::wstring_view path);

// Absolute form of `path` (GetFullPathNameW / the current directory on POSIX),
// or an empty string when it cannot be made absolute.
std::wstring MakeAbsolutePath(const std::wstring& path);

// Full path of the running program (GetModuleFileNameW with a 520-character
// buffer; /proc/self/exe on Linux); empty when the system cannot tell.
std::wstring ExecutablePath();

// Whether two paths spell the same folder: both made absolute, trailing
// separators dropped, and on Windows (whose file system ignores case)
// compared by the ordinal case-insensitive rule (CompareStringOrdinal), which
// does not depend on the user's locale. Purely textual: links, short names
// and substituted drives are not seen through (FileIdentity is), so this is
// only the fallback for a folder that cannot be opened.
bool SameFolderPath(const std::wstring& a, const std::wstring& b);

}  // namespace kp
