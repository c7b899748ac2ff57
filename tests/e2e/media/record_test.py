#!/usr/bin/env python3
"""`kaptora record` on the Linux build, checked with ffprobe/ffmpeg.

Records 3 s of the synthetic desktop at 720p and a low frame rate, then
checks that the file holds one H.264 stream whose frame count is the printed
"frames encoded" and whose duration matches, and that ffmpeg decodes it,
without a single message, to frames byte-identical to the composed frames
that kaptora-simframes regenerates from the same chain code.

usage: record_test.py <kaptora> <kaptora-simframes> <work-folder>
"""
import json
import os
import re
import shutil
import subprocess
import sys

SECONDS = 3
FPS = 15
WIDTH, HEIGHT = 1280, 720


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def main():
    kaptora, simframes, work = sys.argv[1:4]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    env = dict(os.environ)
    env.update({"HOME": work, "XDG_CONFIG_HOME": os.path.join(work, "config"),
                "XDG_STATE_HOME": os.path.join(work, "state"), "XDG_RUNTIME_DIR": work})
    settings = os.path.join(work, "settings.json")
    with open(settings, "w") as f:
        json.dump({"video": {"resolution": "720p", "fps": FPS, "showCursor": True}}, f)
    out = os.path.join(work, "out.mp4")

    run = subprocess.run([kaptora, "record", str(SECONDS), out, "--settings", settings],
                         capture_output=True, text=True, env=env, timeout=60)
    print(run.stdout, end="")
    if run.returncode != 0:
        fail("record exited with %d: %s" % (run.returncode, run.stderr))
    lines = run.stdout.splitlines()
    patterns = [r"frames encoded    : (\d+) \(\d+\.\d\d fps\)",
                r"skipped / failures: (\d+) / (\d+)",
                r"avg bitrate       : \d+\.\d\d Mbps",
                r"work per frame    : avg \d+\.\d\d ms, max \d+\.\d\d ms",
                r"saved             : " + re.escape(out)]
    if len(lines) != len(patterns):
        fail("expected %d statistics lines, got %r" % (len(patterns), lines))
    for line, pattern in zip(lines, patterns):
        if not re.fullmatch(pattern, line):
            fail("line %r does not match %r" % (line, pattern))
    frames = int(re.fullmatch(patterns[0], lines[0]).group(1))
    skipped, failures = map(int, re.fullmatch(patterns[1], lines[1]).groups())
    if failures != 0:
        fail("frame failures: %d" % failures)
    # The frame grid starts once the pipeline is built, a little after the
    # record started; every slot of it before the end time was either
    # encoded or skipped.
    slots = frames + skipped
    if not SECONDS * FPS - FPS <= slots <= SECONDS * FPS:
        fail("encoded %d + skipped %d slots in a %d s record at %d fps" % (frames, skipped, SECONDS, FPS))
    if frames < SECONDS * FPS // 2:
        fail("only %d frames encoded" % frames)

    probe = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-show_streams", "-show_format",
                            "-of", "json", out], capture_output=True, text=True, timeout=60)
    if probe.returncode != 0 or probe.stderr:
        fail("ffprobe: " + probe.stderr)
    info = json.loads(probe.stdout)
    streams = info["streams"]
    if len(streams) != 1 or streams[0]["codec_type"] != "video" or streams[0]["codec_name"] != "h264":
        fail("expected one H.264 stream, got %r" % [(s["codec_type"], s["codec_name"]) for s in streams])
    stream = streams[0]
    if (int(stream["width"]), int(stream["height"])) != (WIDTH, HEIGHT):
        fail("size %sx%s" % (stream["width"], stream["height"]))
    if int(stream["nb_read_frames"]) != frames or int(stream["nb_frames"]) != frames:
        fail("stream has %s/%s frames, %d printed" % (stream["nb_read_frames"], stream["nb_frames"], frames))
    # The packets lie on the frame grid, each lasting up to the next slot:
    # the stream spans its encoded slots plus the skipped ones between them.
    duration = float(stream["duration"])
    if not frames / FPS - 0.01 <= duration <= slots / FPS + 0.01 or duration > SECONDS + 0.01:
        fail("stream duration %.3f s for %d frames and %d skipped slots" % (duration, frames, skipped))

    decoded = os.path.join(work, "decoded.nv12")
    dec = subprocess.run(["ffmpeg", "-nostdin", "-v", "info", "-hide_banner", "-nostats", "-i", out,
                          "-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt", "nv12", "-y", decoded],
                         capture_output=True, text=True, timeout=120)
    if dec.returncode != 0:
        fail("ffmpeg: " + dec.stderr)
    decoder_messages = [l for l in dec.stderr.splitlines()
                        if l.startswith("[h264") or "error" in l.lower() or "warning" in l.lower()]
    if decoder_messages:
        fail("decoder messages: %r" % decoder_messages)

    reference = os.path.join(work, "reference.nv12")
    subprocess.run([simframes, "frames", str(WIDTH), str(HEIGHT), str(frames), reference],
                   check=True, capture_output=True, timeout=120)
    frame_size = WIDTH * HEIGHT * 3 // 2
    with open(decoded, "rb") as a, open(reference, "rb") as b:
        for k in range(frames):
            got = a.read(frame_size)
            want = b.read(frame_size)
            if got != want:
                fail("decoded frame %d differs from composed frame %d" % (k, k))
        if a.read(1):
            fail("decoder produced more than %d frames" % frames)
    print("PASS: %d frames, %.3f s, bit-exact" % (frames, duration))

    # Unreadable settings: the reason is printed, the defaults are used
    # (native size), and the record still succeeds.
    with open(settings, "w") as f:
        f.write("{ not json")
    out2 = os.path.join(work, "defaults.mp4")
    run = subprocess.run([kaptora, "record", "1", out2, "--settings", settings],
                         capture_output=True, text=True, env=env, timeout=60)
    if run.returncode != 0:
        fail("record with broken settings exited with %d" % run.returncode)
    first = run.stderr.splitlines()[0] if run.stderr else ""
    if not re.fullmatch(r"settings: .+ \(using defaults\)", first):
        fail("expected the settings line first on standard error, got %r" % first)
    probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=width,height", "-of", "csv=p=0",
                            out2], capture_output=True, text=True, timeout=60)
    if probe.stdout.strip() != "1920,1080":
        fail("default record size %r" % probe.stdout.strip())
    print("PASS: broken settings fall back to the defaults")


if __name__ == "__main__":
    main()
