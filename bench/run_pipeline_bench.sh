#!/bin/sh
# Builds and runs the capture pipeline benchmarks; prints every figure with
# its target.
# usage: bench/run_pipeline_bench.sh [BUILD_DIR] [pipeline_bench options]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build/linux}
[ $# -ge 1 ] && shift
cmake --build "$build" -j2 --target pipeline_bench >/dev/null
"$build/bench/pipeline_bench" "$@" 2>/dev/null
