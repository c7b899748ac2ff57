#!/usr/bin/env python3
"""Audio/video alignment of saved clips, judged by ffmpeg alone.

kp_sync_fixture runs the engine with a flash of the synthetic desktop and a
tone burst at the same instants of the monotonic clock, at 30 fps and again at
60 fps after a video restart. In each clip the last burst onset must follow
the last flash by the AAC encoder's priming delay (1,024 samples at 48 kHz,
deliberately left uncompensated) within one video frame.

usage: sync_test.py <kp_sync_fixture> <work-folder>
"""
import array
import os
import re
import shutil
import subprocess
import sys

PRIMING = 1024 / 48000.0


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def rising_edges(values, times, high, low):
    """Times where the values go from below `low` to above `high`."""
    edges, armed = [], False
    for value, t in zip(values, times):
        if value < low:
            armed = True
        elif value > high and armed:
            edges.append(t)
            armed = False
    return edges


def flash_times(path, work):
    stats = os.path.join(work, "yavg.txt")
    # -copyts keeps the file's own time line, the one ffprobe's start_time uses.
    subprocess.run(["ffmpeg", "-v", "error", "-copyts", "-i", path, "-map", "0:v:0", "-vf",
                    "signalstats,metadata=print:key=lavfi.signalstats.YAVG:file=" + stats, "-f", "null", "-"],
                   check=True)
    with open(stats) as f:
        text = f.read()
    times = [float(t) for t in re.findall(r"pts_time:(\S+)", text)]
    values = [float(v) for v in re.findall(r"YAVG=(\S+)", text)]
    return rising_edges(values, times, 200.0, 180.0)


def burst_times(path):
    start = float(subprocess.run(["ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries",
                                  "stream=start_time", "-of", "csv=p=0", path],
                                 capture_output=True, text=True, check=True).stdout)
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-map", "0:a:0", "-ac", "1", "-f", "f32le", "-"],
                         capture_output=True, check=True).stdout
    samples = array.array("f", raw)
    # Envelope over 1 ms windows, so a sine's zero crossings are not gaps.
    env = [max(map(abs, samples[i:i + 48])) for i in range(0, len(samples) - 48, 48)]
    return rising_edges(env, [start + i / 1000.0 for i in range(len(env))], 0.2, 0.02)


def main():
    fixture, work = sys.argv[1:3]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    run = subprocess.run([fixture, os.path.join(work, "clips"), os.path.join(work, "buffer")],
                         capture_output=True, text=True, timeout=120)
    clips = run.stdout.split()
    if run.returncode != 0 or len(clips) != 2:
        fail("fixture exited with %d, clips %r:\n%s" % (run.returncode, clips, run.stderr[-3000:]))
    for path, fps in zip(clips, (30, 60)):
        flashes, bursts = flash_times(path, work), burst_times(path)
        if not flashes or not bursts:
            fail("%s: no stimulus found (flashes %r, bursts %r)" % (path, flashes, bursts))
        offset = bursts[-1] - flashes[-1]
        print("%s: %d fps, flash at %.4f s, burst at %.4f s, offset %+.1f ms" %
              (os.path.basename(path), fps, flashes[-1], bursts[-1], offset * 1000))
        if abs(offset - PRIMING) > 1.0 / fps:
            fail("audio is %+.1f ms from video; expected %+.1f ms within one frame (%.1f ms)" %
                 (offset * 1000, PRIMING * 1000, 1000.0 / fps))
    print("sync: both clips aligned")


if __name__ == "__main__":
    main()
