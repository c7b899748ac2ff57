#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, "fuzz" preset) and runs json_fuzz for a
# bounded time. Usage: scripts/run_fuzz.sh [seconds]   (default 30)
# KP_FUZZ_BUILD_DIR overrides the build folder (default: the preset's).
# Exits non-zero when the build fails or the fuzzer finds a crash.
set -euo pipefail

seconds="${1:-30}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

if [ -n "${KP_FUZZ_BUILD_DIR:-}" ]; then
  build="$KP_FUZZ_BUILD_DIR"
  cmake --preset fuzz -B "$build"
else
  build="$root/build/fuzz"
  cmake --preset fuzz
fi
# Only the fuzzer: the other targets of the tree are not needed here.
cmake --build "$build" --target json_fuzz -j2

# Work on a copy of the seed corpus so new inputs do not land in the tree.
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp -r "$root/fuzz/corpus/json/." "$work/"
mkdir -p "$build/fuzz-artifacts"

"$build/fuzz/json_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
  -artifact_prefix="$build/fuzz-artifacts/" "$work"
