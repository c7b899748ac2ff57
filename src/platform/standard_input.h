// Standard input as the export command reads it: only when it is a pipe from
// the parent process, one byte at a time.
#pragma once

namespace kp {

// True when standard input is usable and is a pipe (not a console or file).
bool StandardInputIsPipe();

// Blocks for one byte; false at the end of input or on a read error.
bool ReadStandardInputByte(char* byte);

}  // namespace kp
