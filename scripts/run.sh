#!/usr/bin/env bash
# The main job: installs what is missing, builds the Linux preset and starts
# the recorder's engine in the foreground. Ctrl+C (or `build/linux/kaptora
# stop` from another terminal) ends it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset linux >/dev/null
cmake --build --preset linux -j 2 --target Kaptora
exec build/linux/kaptora "$@"
