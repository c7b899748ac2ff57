#!/bin/sh
# Builds and runs the media benchmarks; prints every figure with its target.
# usage: bench/run_media_bench.sh [BUILD_DIR] [WORK_DIR] [extra media_bench options]
# WORK_DIR (default: a folder under /var/tmp) must be on the file system to
# measure; about 2 GiB of free space are needed. Needs ffmpeg, dd and cp.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build/linux}
work=${2:-/var/tmp/kaptora-media-bench}
[ $# -ge 1 ] && shift
[ $# -ge 1 ] && shift
cmake --build "$build" -j2 --target media_bench >/dev/null
"$build/bench/media_bench" "$work" "$@" 2>/dev/null
