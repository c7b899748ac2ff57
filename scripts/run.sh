#!/usr/bin/env bash
# The main job: installs what is missing, builds the Linux preset and runs the
# recorder's engine for about 15 seconds, then asks it to save a clip with
# `kaptora save`, stops it with `kaptora stop`, and prints the clip's path and
# what ffprobe reads in it. On a desktop (a reachable X server, a running
# sound server) it records the screen and its sound; without one it records
# the stand-ins (a synthetic desktop, tone audio, a lossless H.264 encoder).
# Extra arguments go to the engine (for example --settings FILE, or
# --stand-ins to record the stand-ins anyway).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset linux >/dev/null
cmake --build --preset linux -j 2 --target Kaptora

kaptora="$PWD/build/linux/kaptora"
log="$(mktemp /tmp/kaptora-run-XXXXXX.log)"
trap 'rm -f "$log"' EXIT

echo "run: starting the engine for about 15 seconds"
"$kaptora" "$@" 2> >(tee "$log" >&2) &
engine=$!
sleep 15
"$kaptora" save
"$kaptora" stop
wait "$engine"
sleep 0.2  # let tee finish the last lines

clip="$(sed -n 's/.*save: .* clip from .* → \(.*\)$/\1/p' "$log" | tail -n 1)"
if [ -z "$clip" ] || [ ! -f "$clip" ]; then
  echo "run: no clip was saved (see the log above)" >&2
  exit 1
fi
echo
echo "run: clip saved to $clip"
ffprobe -v error -show_entries format=duration,size:stream=index,codec_name,width,height,avg_frame_rate,duration:stream_tags=handler_name \
  -of compact "$clip"
