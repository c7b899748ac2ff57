#!/usr/bin/env bash
# Runs the Windows build's checks under Wine in a private prefix inside the
# build folder. Everything runs on one virtual display: Wine binds its desktop
# to the display of the first process that starts its server, so a check
# started without one would leave every later check without DXGI.
# A single check: run its line below by hand inside the same environment
# (xvfb-run -a, WINEPREFIX=build/windows/wineprefix, WINEDEBUG=-all).
set -euo pipefail

if [ -z "${KP_WINE_DISPLAY:-}" ]; then
  exec env KP_WINE_DISPLAY=1 xvfb-run -a -s "-screen 0 1920x1080x24" bash "$0" "$@"
fi

root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$root/build/windows"
export WINEPREFIX="$build/wineprefix"
export WINEDEBUG=-all

# Creating a prefix takes a while and prints on standard error; do it once,
# before any check compares output.
wineserver -k >/dev/null 2>&1 || true
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "wine: creating prefix $WINEPREFIX"
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w
fi

# The product loads the NVIDIA driver library from the system folder only.
# The fake goes there for the one check that expects a driver and is taken
# out again at once (and on any exit).
fake_driver="$WINEPREFIX/drive_c/windows/system32/nvEncodeAPI64.dll"
rm -f "$fake_driver"
scratch="$(mktemp -d /tmp/kaptora-wine-XXXXXX)"
trap 'wineserver -k >/dev/null 2>&1 || true; rm -f "$fake_driver"; rm -rf "$scratch"' EXIT

failed=0
run() {
  echo "--- $*"
  if ! "$@"; then failed=$((failed + 1)); fi
}

run wine "$build/tests/platform_check_win.exe" "Z:${scratch//\//\\}"
run wine "$build/tests/encoder_check/encoder_check_win.exe" --no-driver
cp "$build/tests/encoder_check/nvEncodeAPI64.dll" "$fake_driver"
run wine "$build/tests/encoder_check/encoder_check_win.exe" --driver
rm -f "$fake_driver"
run wine "$build/tests/mf_check_win.exe"
run wine "$build/tests/rotation_check_win.exe"
run wine "$build/tests/audio_check_win.exe"
ffmpeg -v error -y -f lavfi -i "color=c=red@0.5:size=24x16,format=rgba" -frames:v 1 "$scratch/overlay.png"
echo "not a video" > "$scratch/notes.txt"
run wine "$build/tests/edit_check_win.exe" "Z:${scratch//\//\\}"
run python3 "$root/tests/e2e/cli/json_tool_test.py" --wine "$build/kaptora-json.exe"
run python3 "$root/tests/e2e/cli/cli_test.py" --wine "$build/Kaptora.exe"
run python3 "$root/tests/wine/exe_check.py" record "$build"
run python3 "$root/tests/wine/exe_check.py" export "$build"
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")"
run python3 "$root/tests/e2e/update/update_http_test.py" --wine "$build/Kaptora.exe" "$version"
run python3 "$root/tests/wine/exe_check.py" host "$build"
run python3 "$root/tests/wine/exe_check.py" no-mf "$build"
run python3 "$root/tests/wine/import_check.py" "$build/Kaptora.exe"
run python3 "$root/tests/wine/release_check.py" "$build" "$version"

if [ "$failed" -ne 0 ]; then
  echo "wine: $failed suite(s) failed"
  exit 1
fi
