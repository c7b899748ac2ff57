#!/usr/bin/env bash
# The main job: installs what is missing, builds the Linux preset, records a
# short clip of the synthetic desktop with `kaptora record` and says where it
# is, then starts the recorder's engine in the foreground. Ctrl+C (or
# `build/linux/kaptora stop` from another terminal) ends the engine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset linux >/dev/null
cmake --build --preset linux -j 2 --target Kaptora

clip="$PWD/build/linux/clips/kaptora-record.mp4"
mkdir -p "$(dirname "$clip")"
echo "run: recording 5 seconds of the synthetic desktop"
build/linux/kaptora record 5 "$clip" "$@"
echo "run: clip written to $clip"

echo "run: starting the engine (Ctrl+C or 'build/linux/kaptora stop' ends it)"
exec build/linux/kaptora "$@"
