#!/usr/bin/env python3
"""The engine's saved clips, judged by ffprobe/ffmpeg.

clip: the Linux engine as a user runs it, with both tone sources (desktop
440 Hz, microphone 1 kHz) on three tracks: `kaptora save` ends in the "Clip
saved" notification, and the clip holds one H.264 stream and three AAC LC
tracks by name, each sounding its own tones.

sync: kp_sync_fixture runs the engine with a flash of the synthetic desktop and
a tone burst at the same instants of the monotonic clock, at 30 fps and again
at 60 fps after a video restart. In each clip the last burst onset must follow
the last flash by the AAC encoder's priming delay (1,024 samples at 48 kHz,
deliberately left uncompensated) within one video frame.

repeats: 30 s of the Linux engine with "encoder": "nvenc", which its chain
lacks, so every build fails: each line of the failing build reaches the log at
most twice (when it first happens, and with its count when capture stops).

rotated: the Linux engine recording the synthetic machine's portrait monitor
(delivered sideways, as desktop duplication delivers a turned monitor): the
clip is portrait and a decoded frame shows the desktop's red marker where the
upright desktop has it, in its top-right corner.

usage: engine_test.py clip <kaptora> <work-folder>
       engine_test.py sync <kp_sync_fixture> <work-folder>
       engine_test.py repeats <kaptora> <work-folder>
       engine_test.py rotated <kaptora> <work-folder>
"""
import array
import json
import math
import os
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from runtime_folder import short_runtime_folder, wait_until_serving  # noqa: E402

PRIMING = 1024 / 48000.0
TRACKS = {"Desktop + Microphone": (True, True), "Desktop Audio": (True, False), "Microphone": (False, True)}


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def tone(samples, freq):
    """Amplitude (full scale 1.0) of `freq` in the samples (Goertzel)."""
    coeff, s1, s2 = 2.0 * math.cos(2.0 * math.pi * freq / 48000), 0.0, 0.0
    for x in samples:
        s1, s2 = x / 32768.0 + coeff * s1 - s2, s1
    return 2.0 * math.sqrt(max(s1 * s1 + s2 * s2 - coeff * s1 * s2, 0.0)) / len(samples)


def judge_clip(path, seconds):
    streams = json.loads(subprocess.run(["ffprobe", "-v", "error", "-of", "json", "-show_streams", path],
                                        capture_output=True, check=True).stdout)["streams"]
    video = [s for s in streams if s["codec_type"] == "video"]
    if len(video) != 1 or video[0]["codec_name"] != "h264" or abs(float(video[0]["duration"]) - seconds) > 0.7:
        fail("%s: expected one H.264 stream of about %d s, got %r" % (path, seconds, streams))
    audio = [s for s in streams if s["codec_type"] == "audio"]
    names = [s.get("tags", {}).get("handler_name") for s in audio]
    if sorted(names) != sorted(TRACKS):
        fail("audio tracks %r" % names)
    for s, name in zip(audio, names):
        if (s["codec_name"], s.get("profile"), s["sample_rate"], s["channels"]) != ("aac", "LC", "48000", 2):
            fail("%s: %s, %s %s Hz %d ch" % (name, s["codec_name"], s.get("profile"), s["sample_rate"], s["channels"]))
        raw = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-map", "0:%d" % s["index"], "-f", "s16le", "-"],
                             capture_output=True, check=True)
        left = array.array("h", raw.stdout)[0::2]
        middle = left[len(left) // 2 - 9600:len(left) // 2 + 9600]
        amplitudes = (tone(middle, 440.0), tone(middle, 1000.0))
        for amplitude, on in zip(amplitudes, TRACKS[name]):
            if not (amplitude > 0.15 if on else amplitude < 0.02) or raw.stderr:
                fail("%s: 440 Hz %.3f, 1 kHz %.3f, decoder said %r" % (name, *amplitudes, raw.stderr[:200]))


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


def sync(fixture, work):
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
        if abs(offset - PRIMING) > 1.0 / fps:
            fail("%s: audio is %+.1f ms from video; expected %+.1f ms within one frame (%.1f ms)" %
                 (os.path.basename(path), offset * 1000, PRIMING * 1000, 1000.0 / fps))
    print("sync: both clips aligned")


def clip(kaptora, work):
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    env = dict(os.environ, HOME=work, XDG_CONFIG_HOME=os.path.join(work, "config"),
               XDG_STATE_HOME=os.path.join(work, "state"), XDG_RUNTIME_DIR=short_runtime_folder())
    settings_path, clips = os.path.join(work, "settings.json"), os.path.join(work, "clips")
    with open(settings_path, "w") as f:
        json.dump({"replay": {"bufferSeconds": 10, "folder": clips}, "video": {"resolution": "720p", "fps": 15},
                   "audio": {"microphone": {"enabled": True}, "tracks": "mixed+separate"},
                   "general": {"language": "en"}}, f)
    log_path = os.path.join(work, "state", "Kaptora", "logs", "engine.log")

    def matching(pattern):
        if not os.path.exists(log_path):
            return []
        with open(log_path, encoding="utf-8") as f:
            return [m for m in (re.fullmatch(pattern, line.rstrip("\r\n")[24:]) for line in f) if m]

    def wait_for(pattern, timeout):
        deadline = time.monotonic() + timeout
        while not matching(pattern):
            if time.monotonic() > deadline:
                fail("timed out waiting for " + pattern)
            time.sleep(0.05)

    engine = subprocess.Popen([kaptora, "--stand-ins", "--settings", settings_path], env=env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        if not wait_until_serving([kaptora], env):
            fail("the engine does not serve its control channel")
        wait_for(r"engine: starting capture.*", 10)
        time.sleep(3)  # three seconds of recording to save
        subprocess.run([kaptora, "save"], env=env, check=True)
        wait_for(r"notification: Clip saved \| .*", 15)
        note = matching(r"notification: Clip saved \| (\d+):(\d\d) · (Kaptora_[-_\d]+\.mp4)")
        if len(note) != 1:
            fail("notification lines %r" % note)
        length = int(note[0].group(1)) * 60 + int(note[0].group(2))
        if length < 2:
            fail("a %d s clip after 3 s of capture" % length)
        judge_clip(os.path.join(clips, note[0].group(3)), length)
        subprocess.run([kaptora, "stop"], env=env, check=True)
        if engine.wait(timeout=30) != 0:
            fail("engine exit code %d" % engine.returncode)
    finally:
        engine.kill()
    print("engine clip: passed")


def repeats(kaptora, work):
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    env = dict(os.environ, HOME=work, XDG_CONFIG_HOME=os.path.join(work, "config"),
               XDG_STATE_HOME=os.path.join(work, "state"), XDG_RUNTIME_DIR=short_runtime_folder())
    settings_path = os.path.join(work, "settings.json")
    with open(settings_path, "w") as f:
        json.dump({"replay": {"folder": os.path.join(work, "clips")}, "video": {"encoder": "nvenc"}}, f)
    start = time.monotonic()
    engine = subprocess.Popen([kaptora, "--stand-ins", "--settings", settings_path], env=env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        if not wait_until_serving([kaptora], env):
            fail("the engine does not serve its control channel")
        time.sleep(max(0.0, start + 30 - time.monotonic()))
        subprocess.run([kaptora, "stop"], env=env, check=True)
        if engine.wait(timeout=30) != 0:
            fail("engine exit code %d" % engine.returncode)
    finally:
        engine.kill()
    with open(os.path.join(work, "state", "Kaptora", "logs", "engine.log"), encoding="utf-8") as f:
        messages = [line.rstrip("\r\n")[24:] for line in f]
    counted = [re.fullmatch(r"(.*) \(repeated (\d+) times in the last \d+ min\)", m) for m in messages]
    lines = [c.group(1) if c else m for c, m in zip(counted, messages)]
    build = [line for line in lines if line.split(":")[0] in ("pipeline", "capture", "encoder")]
    over = sorted({line for line in build if build.count(line) > 2})
    failed = [int(c.group(2)) + 1 for c in counted if c and c.group(1) == "pipeline: build failed, retrying in 2s"]
    print("repeats: %d log lines in 30 s, builds %r" % (len(messages), failed))
    if over or not build or len(failed) != 1 or not 12 <= failed[0] <= 20:
        fail("lines written more than twice %r; failed builds (first + counted) %r:\n%s" %
             (over, failed, "\n".join(messages[-40:])))
    print("engine repeats: passed")


def rotated(kaptora, work):
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    env = dict(os.environ, HOME=work, XDG_CONFIG_HOME=os.path.join(work, "config"),
               XDG_STATE_HOME=os.path.join(work, "state"), XDG_RUNTIME_DIR=short_runtime_folder())
    settings_path, clips = os.path.join(work, "settings.json"), os.path.join(work, "clips")
    with open(settings_path, "w") as f:
        json.dump({"replay": {"bufferSeconds": 10, "folder": clips},
                   "video": {"monitor": "\\\\.\\DISPLAY2", "resolution": "720p", "fps": 10},
                   "general": {"language": "en"}}, f)
    stderr = open(os.path.join(work, "engine.err"), "w+")
    engine = subprocess.Popen([kaptora, "--stand-ins", "--settings", settings_path], env=env,
                              stdout=subprocess.DEVNULL, stderr=stderr)
    try:
        if not wait_until_serving([kaptora], env):
            fail("the engine does not serve its control channel")
        time.sleep(2.5)
        subprocess.run([kaptora, "save"], env=env, check=True)
        subprocess.run([kaptora, "stop"], env=env, check=True)
        if engine.wait(timeout=30) != 0:
            fail("engine exit code %d" % engine.returncode)
    finally:
        engine.kill()
    saved = glob_clips(clips)
    if len(saved) != 1:
        stderr.seek(0)
        fail("clips %r; engine said:\n%s" % (saved, stderr.read()[-3000:]))
    video = json.loads(subprocess.run(["ffprobe", "-v", "error", "-of", "json", "-show_streams", "-select_streams",
                                       "v", saved[0]], capture_output=True, check=True).stdout)["streams"][0]
    width, height = video["width"], video["height"]
    # 1080x1920 at 720 lines: 405 rounded down to even.
    if (width, height) != (404, 720):
        fail("a %dx%d clip of the 1080x1920 portrait monitor" % (width, height))
    rgb = subprocess.run(["ffmpeg", "-v", "error", "-i", saved[0], "-frames:v", "1", "-f", "rawvideo",
                          "-pix_fmt", "rgb24", "-"], capture_output=True, check=True).stdout
    red = [(i % width, i // width) for i in range(width * height)
           if rgb[3 * i] > 200 and rgb[3 * i + 1] < 60 and rgb[3 * i + 2] < 60]
    # The marker: 90 px square, 90 px from the top and right edges of the
    # upright desktop, scaled by 720 / 1920.
    side = 90 * 720 / 1920.0
    expected = (width - 1.5 * side, 1.5 * side)
    if len(red) < side * side / 2:
        fail("no marker in the frame (%d red pixels)" % len(red))
    centre = (sum(x for x, _ in red) / len(red), sum(y for _, y in red) / len(red))
    if abs(centre[0] - expected[0]) > 4 or abs(centre[1] - expected[1]) > 4:
        fail("marker at (%.1f, %.1f), upright it lies at (%.1f, %.1f)" % (*centre, *expected))
    print("engine rotated: passed")


def glob_clips(folder):
    return sorted(os.path.join(folder, n) for n in os.listdir(folder) if n.endswith(".mp4")) \
        if os.path.isdir(folder) else []


if __name__ == "__main__":
    {"clip": clip, "sync": sync, "repeats": repeats, "rotated": rotated}[sys.argv[1]](*sys.argv[2:4])
