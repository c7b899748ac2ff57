#!/bin/sh
# Peak memory of `kaptora record 60` against `record 10` at the default
# settings, both in this run: the recording is spilled to a scratch file, so
# the longer one may use at most 1.2 x the memory of the shorter (target).
# usage: bench/run_record_bench.sh [BUILD_DIR] [WORK_DIR]
# WORK_DIR (default: a folder under /var/tmp) needs about 2 GB of free space
# for the two recordings. Takes about 80 s.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build/linux}
work=${2:-/var/tmp/kaptora-record-bench}
cmake --build "$build" -j2 --target Kaptora >/dev/null
rm -rf "$work"
mkdir -p "$work"
python3 - "$build/kaptora" "$work" <<'PY'
import os
import subprocess
import sys

kaptora, work = sys.argv[1:3]
# A private home: the default settings, whatever the user's are.
env = dict(os.environ, HOME=work, XDG_CONFIG_HOME=os.path.join(work, "config"),
           XDG_STATE_HOME=os.path.join(work, "state"))
peaks = {}
for seconds in (10, 60):
    out = os.path.join(work, "record%d.mp4" % seconds)
    proc = subprocess.Popen([kaptora, "record", str(seconds), out], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    stdout = proc.stdout.read()
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        sys.exit("record %d failed (exit %d)" % (seconds, proc.returncode))
    frames = stdout.splitlines()[0].split(":", 1)[1].strip()
    peaks[seconds] = usage.ru_maxrss  # KiB
    print("record %2d: peak %7.1f MB, file %.1f MB, frames encoded %s" %
          (seconds, usage.ru_maxrss / 1024, os.path.getsize(out) / 1e6, frames))
    os.remove(out)
ratio = peaks[60] / peaks[10]
print("peak memory record 60 / record 10: %.2f (target <= 1.20) %s" % (ratio, "ok" if ratio <= 1.2 else "MISSED"))
PY
