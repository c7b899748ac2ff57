// The program's own version and the rules for comparing dotted versions.
#pragma once

#include <string_view>
#include <vector>

#include "kaptora_version.h"

namespace kp {

// "0.2.0": compared with manifests and sent in the user agent. Generated from
// the build's project version, which the resources' version information uses
// too.
inline constexpr char kProgramVersion[] = KP_VERSION_TEXT;

// Splits at every '.' and reads each piece the way atoi does (leading blanks,
// an optional sign, then digits; no digits reads 0), then pads with zeros to
// at least three numbers: "1.4" -> {1, 4, 0}, "0.10.2.7" -> {0, 10, 2, 7}.
// Pieces beyond the range of int saturate.
std::vector<int> ParseVersion(std::string_view text);

// True when the number list of `candidate` is lexicographically greater than
// that of `current`; with an equal prefix the longer list is greater.
bool IsNewer(std::string_view candidate, std::string_view current);

}  // namespace kp
