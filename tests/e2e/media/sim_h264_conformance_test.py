#!/usr/bin/env python3
"""Conformance of the lossless H.264 stand-in: test streams of several sizes
(including sizes that are not multiples of 16) decode with ffmpeg, without
messages, to exactly the frames that were encoded. The deferred-output
behaviour must produce the same stream byte for byte.

usage: sim_h264_conformance_test.py <kaptora-simframes> <work-folder>
"""
import os
import shutil
import subprocess
import sys

SIZES = [(64, 48), (100, 60), (642, 362), (16, 16), (2, 2), (1920, 1080)]
FRAMES = 25


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def main():
    simframes, work = sys.argv[1:3]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    for width, height in SIZES:
        name = "%dx%d" % (width, height)
        stream = os.path.join(work, name + ".h264")
        raw = os.path.join(work, name + ".nv12")
        count = FRAMES if width * height < 1_000_000 else 8
        subprocess.run([simframes, "h264", str(width), str(height), str(count), stream, raw,
                        "--keyframe-interval", "10"], check=True, capture_output=True, timeout=120)
        deferred = os.path.join(work, name + ".deferred.h264")
        subprocess.run([simframes, "h264", str(width), str(height), str(count), deferred, raw + ".2",
                        "--keyframe-interval", "10", "--deferred", "2", "3"],
                       check=True, capture_output=True, timeout=120)
        with open(stream, "rb") as a, open(deferred, "rb") as b:
            if a.read() != b.read():
                fail(name + ": deferred output differs from immediate output")

        decoded = os.path.join(work, name + ".decoded.nv12")
        dec = subprocess.run(["ffmpeg", "-nostdin", "-v", "warning", "-hide_banner", "-probesize", "100000000", "-f", "h264", "-i", stream,
                              "-f", "rawvideo", "-pix_fmt", "nv12", "-y", decoded],
                             capture_output=True, text=True, timeout=120)
        # Messages of the demuxer or decoder mean a stream fault; the raw
        # output muxer's remarks about tiny frame sizes do not.
        messages = [l for l in dec.stderr.splitlines()
                    if l.startswith("[h264") or "error" in l.lower() or "invalid" in l.lower()]
        if dec.returncode != 0 or messages:
            fail(name + ": ffmpeg said: " + dec.stderr)
        probe = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                                "stream=width,height,profile", "-of", "default=nw=1", stream],
                               capture_output=True, text=True, timeout=60)
        if "width=%d" % width not in probe.stdout or "height=%d" % height not in probe.stdout:
            fail(name + ": ffprobe reports " + probe.stdout)
        with open(raw, "rb") as a, open(decoded, "rb") as b:
            want = a.read()
            got = b.read()
        frame_size = width * height * 3 // 2
        if len(got) != len(want):
            fail("%s: decoded %d frames, encoded %d" % (name, len(got) // frame_size, count))
        if got != want:
            for k in range(count):
                if got[k * frame_size:(k + 1) * frame_size] != want[k * frame_size:(k + 1) * frame_size]:
                    fail("%s: frame %d differs" % (name, k))
        print("PASS %s: %d frames bit-exact" % (name, count))


if __name__ == "__main__":
    main()
