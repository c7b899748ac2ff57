#!/usr/bin/env python3
"""Conformance of the lossless H.264 stand-in: streams of several sizes (some
not multiples of 16) decode with ffmpeg, without messages, to exactly the
frames that were encoded; deferred output gives the same stream byte for byte.

usage: sim_h264_conformance_test.py <kaptora-simframes> <work-folder>
"""
import os
import shutil
import subprocess
import sys


def main():
    simframes, work = sys.argv[1:3]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    for width, height in [(64, 48), (100, 60), (642, 362), (16, 16), (2, 2), (1920, 1080)]:
        name = os.path.join(work, "%dx%d" % (width, height))
        count = 25 if width * height < 1_000_000 else 8
        for extra, suffix in (([], ""), (["--deferred", "2", "3"], ".deferred")):
            subprocess.run([simframes, str(width), str(height), str(count), name + suffix + ".h264",
                            name + suffix + ".nv12", *extra], check=True, capture_output=True, timeout=120)
        streams = [open(name + suffix + ".h264", "rb").read() for suffix in ("", ".deferred")]
        assert streams[0] == streams[1], name + ": deferred output differs from immediate output"
        dec = subprocess.run(["ffmpeg", "-nostdin", "-v", "warning", "-hide_banner", "-probesize", "100000000",
                              "-f", "h264", "-i", name + ".h264", "-f", "rawvideo", "-pix_fmt", "nv12", "-y",
                              name + ".decoded.nv12"], capture_output=True, text=True, timeout=120)
        # Demuxer or decoder messages mean a stream fault; the raw muxer's
        # remarks about tiny frame sizes do not.
        messages = [l for l in dec.stderr.splitlines()
                    if l.startswith("[h264") or "error" in l.lower() or "invalid" in l.lower()]
        assert dec.returncode == 0 and not messages, name + ": ffmpeg said: " + dec.stderr
        probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=width,height", "-of", "csv=p=0",
                                name + ".h264"], capture_output=True, text=True, timeout=60)
        assert probe.stdout.strip() == "%d,%d" % (width, height), name + ": ffprobe reports " + probe.stdout
        want, got = (open(name + s, "rb").read() for s in (".nv12", ".decoded.nv12"))
        size = width * height * 3 // 2
        assert len(got) == len(want), "%s: decoded %d frames, encoded %d" % (name, len(got) // size, count)
        for k in range(count):
            assert got[k * size:(k + 1) * size] == want[k * size:(k + 1) * size], "%s: frame %d differs" % (name, k)
        print("PASS %s: %d frames bit-exact" % (name, count))


if __name__ == "__main__":
    main()
