#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, "fuzz" preset) and runs every one of
# them, splitting a bounded total time evenly between them.
# Usage: scripts/run_fuzz.sh [total seconds]   (default 90)
# KP_FUZZ_BUILD_DIR overrides the build folder (default: the preset's).
# Exits non-zero when the build fails or the fuzzer finds a crash.
set -euo pipefail

total="${1:-90}"
targets=(json_fuzz export_job_fuzz track_descriptions_fuzz update_fuzz)
corpora=(json export_job track_descriptions update)
seconds=$(( total / ${#targets[@]} ))
[ "$seconds" -ge 1 ] || seconds=1
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

if [ -n "${KP_FUZZ_BUILD_DIR:-}" ]; then
  build="$KP_FUZZ_BUILD_DIR"
  cmake --preset fuzz -B "$build"
else
  build="$root/build/fuzz"
  cmake --preset fuzz
fi
# Only the fuzzers: the other targets of the tree are not needed here.
cmake --build "$build" --target "${targets[@]}" -j2

# Work on copies of the seed corpora so new inputs do not land in the tree.
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$build/fuzz-artifacts"

for i in "${!targets[@]}"; do
  target="${targets[$i]}"
  mkdir -p "$work/$target"
  cp -r "$root/fuzz/corpus/${corpora[$i]}/." "$work/$target/"
  echo "== $target: ${seconds}s"
  "$build/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$build/fuzz-artifacts/$target-" "$work/$target"
done
