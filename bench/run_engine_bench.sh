#!/bin/sh
# Builds and runs the engine benchmark (about three windows of wall time);
# prints every figure with its target.
# usage: bench/run_engine_bench.sh [BUILD_DIR] [engine_bench options]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build/linux}
[ $# -ge 1 ] && shift
cmake --build "$build" -j2 --target engine_bench >/dev/null
"$build/bench/engine_bench" "$@" 2>/dev/null
