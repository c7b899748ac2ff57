#!/usr/bin/env python3
"""The Linux engine as a user runs it: start it, `kaptora save` twice, `kaptora
stop`; the clips are judged with ffprobe.

For each audio track layout the engine runs with its stand-ins (synthetic
desktop, tone sources). The clips must hold one H.264 stream and the layout's
AAC tracks by name, the video must span the buffered window to within one
keyframe interval (2 s), and the log must hold each request before its
summary line.

usage: engine_test.py <kaptora> <work-folder>
"""
import json
import os
import re
import shutil
import subprocess
import sys
import time

KEYFRAME_INTERVAL = 2.0
LAYOUTS = [
    # (tracks setting, microphone on, expected handler names, seconds to record)
    ("mixed+separate", True, ["Desktop + Microphone", "Desktop Audio", "Microphone"], 12.5),
    ("mixed", True, ["Desktop + Microphone"], 3.0),
    ("separate", True, ["Desktop Audio", "Microphone"], 3.0),
]
WINDOW = 10  # the shortest buffer the settings allow


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def wait_for(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.05)
    fail("timed out waiting for " + what)


def probe(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-print_format", "json", "-show_streams", path],
                         capture_output=True, text=True, check=True).stdout
    return json.loads(out)["streams"]


def run_layout(kaptora, work, tracks, microphone, names, seconds):
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    env = dict(os.environ)
    env.update({"HOME": work, "XDG_CONFIG_HOME": os.path.join(work, "config"),
                "XDG_STATE_HOME": os.path.join(work, "state"), "XDG_RUNTIME_DIR": os.path.join(work, "run")})
    os.makedirs(env["XDG_RUNTIME_DIR"], mode=0o700)
    clips = os.path.join(work, "clips")
    settings = os.path.join(work, "settings.json")
    with open(settings, "w") as f:
        json.dump({"replay": {"bufferSeconds": WINDOW, "folder": clips},
                   "video": {"resolution": "720p", "fps": 15},
                   "audio": {"microphone": {"enabled": microphone}, "tracks": tracks}}, f)
    log_path = os.path.join(work, "state", "Kaptora", "logs", "engine.log")

    def log_lines():
        try:
            with open(log_path, encoding="utf-8") as f:
                return [line.rstrip("\r\n")[24:] for line in f]
        except FileNotFoundError:
            return []

    def count(pattern):
        return sum(1 for line in log_lines() if re.search(pattern, line))

    engine = subprocess.Popen([kaptora, "--settings", settings], env=env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_for(lambda: count(r"^engine: starting capture") == 1, 10, "the capture to start")
        time.sleep(seconds)
        for n in (1, 2):
            if subprocess.run([kaptora, "save"], env=env).returncode != 0:
                fail("kaptora save exited non-zero")
            wait_for(lambda: count(r"^save: .* clip requested") == n, 10, "request %d" % n)
        if subprocess.run([kaptora, "stop"], env=env).returncode != 0:
            fail("kaptora stop exited non-zero")
        if engine.wait(timeout=30) != 0:
            fail("engine exit code %d" % engine.returncode)
    finally:
        if engine.poll() is None:
            engine.kill()

    lines = log_lines()
    events = [l for l in lines if re.match(r"save: |engine: exiting", l)]
    kinds = ["request" if "requested" in l else "exit" if l.startswith("engine") else "summary" for l in events]
    if kinds.count("request") != 2 or kinds.count("summary") != 2 or kinds.index("summary") < 1 or \
            kinds[1] not in ("request", "summary") or kinds.index("request") != 0:
        fail("save lines out of order: %r" % events)
    summaries = [re.fullmatch(r"save: (\d+\.\d)s clip from \d\d:\d\d:\d\d\.\d\d\d, (\d) audio track\(s\), "
                              r"\d+ MB in \d+\.\ds \(\d+ MB/s\) → (.*)", l) for l in events if l.startswith("save: ") and "requested" not in l]
    if not all(summaries):
        fail("summary lines malformed: %r" % events)

    files = sorted(os.listdir(clips))
    if len(files) != 2 or not all(re.fullmatch(r"Kaptora_\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d(_2)?\.mp4", f) for f in files):
        fail("clip files: %r" % files)
    for match in summaries:
        path = match.group(3)
        if os.path.basename(path) not in files:
            fail("summary names %s, not among %r" % (path, files))
        streams = probe(path)
        video = [s for s in streams if s["codec_type"] == "video"]
        audio = [s for s in streams if s["codec_type"] == "audio"]
        if len(video) != 1 or video[0]["codec_name"] != "h264":
            fail("%s: expected one H.264 stream, got %r" % (path, [s["codec_name"] for s in streams]))
        # Audio traks are stored last track first; readers list them so.
        got = [s.get("tags", {}).get("handler_name") for s in audio][::-1]
        if got != names or any(s["codec_name"] != "aac" for s in audio) or int(match.group(2)) != len(names):
            fail("%s: audio tracks %r, expected %r" % (path, got, names))
        duration = float(video[0]["duration"])
        window = min(WINDOW, seconds)
        if not (window - 1.0 / 15 - 0.3 <= duration <= window + KEYFRAME_INTERVAL + 1.5):
            fail("%s: video lasts %.2f s for a %.1f s window" % (path, duration, window))
        print("ok: %s, %.2f s video, tracks %r" % (os.path.basename(path), duration, got))


def main():
    kaptora, work = sys.argv[1:3]
    for index, (tracks, microphone, names, seconds) in enumerate(LAYOUTS):
        run_layout(kaptora, os.path.join(work, str(index)), tracks, microphone, names, seconds)
    print("engine e2e: all layouts passed")


if __name__ == "__main__":
    main()
