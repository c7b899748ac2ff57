#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, "fuzz" preset) and runs each of them
# for a bounded time on a copy of its seed corpus.
# Usage: scripts/run_fuzz.sh [seconds per target]   (default 30)
# KP_FUZZ_BUILD_DIR overrides the build folder (default: the preset's).
# Exits non-zero when the build fails or a fuzzer finds a crash.
set -euo pipefail

seconds="${1:-30}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

# target:corpus folder under fuzz/corpus
targets=(json_fuzz:json update_fuzz:update)

if [ -n "${KP_FUZZ_BUILD_DIR:-}" ]; then
  build="$KP_FUZZ_BUILD_DIR"
  cmake --preset fuzz -B "$build"
else
  build="$root/build/fuzz"
  cmake --preset fuzz
fi
# Only the fuzzers: the other targets of the tree are not needed here.
cmake --build "$build" --target "${targets[@]%%:*}" -j2

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$build/fuzz-artifacts"

for entry in "${targets[@]}"; do
  target="${entry%%:*}"
  corpus="${entry#*:}"
  echo "fuzz: $target for ${seconds} s"
  # New inputs go to the copy, not into the tree.
  mkdir -p "$work/$corpus"
  cp -r "$root/fuzz/corpus/$corpus/." "$work/$corpus/"
  "$build/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$build/fuzz-artifacts/$target-" "$work/$corpus"
done
