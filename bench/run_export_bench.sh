#!/bin/sh
# Builds and runs the export benchmark; prints its figures with their targets.
# usage: bench/run_export_bench.sh [BUILD_DIR] [WORK_DIR]
# Needs ffmpeg; WORK_DIR (default: a folder under /var/tmp) needs about
# 100 MB of free space. Takes a few minutes.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build/linux}
work=${2:-/var/tmp/kaptora-export-bench}
cmake --build "$build" -j2 --target export_bench >/dev/null
"$build/bench/export_bench" "$work" 2>/dev/null
