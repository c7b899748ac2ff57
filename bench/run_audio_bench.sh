#!/bin/sh
# Builds and runs the audio mixer benchmark; prints the figure with its target.
# usage: bench/run_audio_bench.sh [BUILD_DIR] [SECONDS]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build/linux}
cmake --build "$build" -j2 --target audio_bench >/dev/null
"$build/bench/audio_bench" "${2:-12}" 2>/dev/null
