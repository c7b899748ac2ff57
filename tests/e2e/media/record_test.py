#!/usr/bin/env python3
"""`kaptora record` on the Linux build: 3 s of the synthetic desktop at 720p
print the statistics lines and give one H.264 stream with the printed frame
count and a matching duration, which ffmpeg decodes without a message; a
`record 600` ended by SIGINT still writes what it recorded, leaving no
scratch file, and seconds above a day are a usage error. (Bit-exact decoding
of the encoder is sim_h264_conformance_test's.)

usage: record_test.py <kaptora> <work-folder>
"""
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from runtime_folder import private_home  # noqa: E402

SECONDS, FPS = 3, 15


def check(condition, message):
    if not condition:
        sys.exit("FAIL: " + message)


def run(*args, **kw):
    return subprocess.run(args, capture_output=True, text=True, timeout=120, **kw)


def main():
    kaptora, work = sys.argv[1:3]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    env = private_home(work)
    settings, out = os.path.join(work, "settings.json"), os.path.join(work, "out.mp4")
    with open(settings, "w") as f:
        json.dump({"video": {"resolution": "720p", "fps": FPS, "showCursor": True}}, f)

    r = run(kaptora, "record", str(SECONDS), out, "--settings", settings, "--stand-ins", env=env)
    check(r.returncode == 0, "record exited with %d: %s" % (r.returncode, r.stderr))
    patterns = [r"frames encoded    : (\d+) \(\d+\.\d\d fps\)", r"skipped / failures: (\d+) / 0",
                r"avg bitrate       : \d+\.\d\d Mbps", r"work per frame    : avg \d+\.\d\d ms, max \d+\.\d\d ms",
                r"saved             : " + re.escape(out)]
    lines = r.stdout.splitlines()
    matches = [re.fullmatch(p, l) for p, l in zip(patterns, lines)]
    check(len(lines) == len(patterns) and all(matches), "statistics lines %r" % lines)
    frames, skipped = int(matches[0].group(1)), int(matches[1].group(1))
    # The frame grid starts once the pipeline is built, a little after the
    # record started; every slot before the end was encoded or skipped.
    slots = frames + skipped
    check(SECONDS * FPS - FPS <= slots <= SECONDS * FPS and frames >= SECONDS * FPS // 2,
          "encoded %d + skipped %d slots in %d s at %d fps" % (frames, skipped, SECONDS, FPS))

    probe = run("ffprobe", "-v", "error", "-count_frames", "-show_streams", "-of", "json", out)
    check(probe.returncode == 0 and not probe.stderr, "ffprobe: " + probe.stderr)
    streams = json.loads(probe.stdout)["streams"]
    check([(s["codec_name"], s["width"], s["height"]) for s in streams] == [("h264", 1280, 720)], "streams %r" % streams)
    s = streams[0]
    check(int(s["nb_read_frames"]) == frames == int(s["nb_frames"]), "%s frames, %d printed" % (s["nb_frames"], frames))
    # Packets lie on the frame grid, each lasting up to the next slot.
    duration = float(s["duration"])
    check(frames / FPS - 0.01 <= duration <= min(slots / FPS, SECONDS) + 0.01, "duration %.3f s" % duration)
    dec = run("ffmpeg", "-nostdin", "-v", "warning", "-hide_banner", "-i", out, "-f", "null", "-")
    check(dec.returncode == 0 and not dec.stderr, "ffmpeg: %r" % dec.stderr)
    interrupted(kaptora, env, settings, os.path.join(work, "interrupted.mp4"))
    r = run(kaptora, "record", "86401", out, "--settings", settings, env=env)
    check(r.returncode == 2 and r.stderr.startswith("usage:"), "record 86401: exit %d" % r.returncode)
    print("PASS: %d frames, %.3f s" % (frames, duration))


def interrupted(kaptora, env, settings, out):
    proc = subprocess.Popen([kaptora, "record", "600", out, "--settings", settings, "--stand-ins"], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    # Interrupted once the encoder runs and a second of pictures is in.
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline and "encoder: " not in proc.stderr.readline():
        pass
    time.sleep(1)
    proc.send_signal(signal.SIGINT)
    stdout, stderr = proc.communicate(timeout=60)
    check(proc.returncode == 0 and stdout.endswith("saved             : %s\n" % out),
          "interrupted record: exit %s, %r %r" % (proc.returncode, stdout, stderr[-500:]))
    frames = int(re.search(r"frames encoded    : (\d+)", stdout).group(1))
    probe = run("ffprobe", "-v", "error", "-count_frames", "-show_streams", "-of", "json", out)
    read = int(json.loads(probe.stdout)["streams"][0]["nb_read_frames"]) if probe.returncode == 0 else -1
    check(frames >= 1 and read == frames and not probe.stderr, "interrupted record: %d frames, %d read" % (frames, read))
    check(not [n for n in os.listdir(os.path.dirname(out)) if n.startswith("interrupted.mp4.")], "no scratch file left")


if __name__ == "__main__":
    main()
