#!/usr/bin/env python3
"""The engine's saved clips, judged by ffprobe/ffmpeg.

clip: the Linux engine as a user runs it, with both tone sources (desktop
440 Hz, microphone 1 kHz) on three tracks: `kaptora save` ends in the "Clip
saved" notification, and the clip holds one H.264 stream and three AAC LC
tracks by name, each sounding its own tones; `kaptora export` of a second of
it keeps the tracks' names, order and enabled track.

sync: kp_sync_fixture runs the engine with a flash of the synthetic desktop and
a tone burst at the same instants of the monotonic clock, at 30 fps and again
at 60 fps after a video restart. In each clip the last burst onset must follow
the last flash by the AAC encoder's priming delay (1,024 samples at 48 kHz,
deliberately left uncompensated) within one video frame.

repeats: 12 s of the Linux engine with "encoder": "nvenc", which its chain
lacks, so every build fails: each line of the failing build reaches the log at
most twice (when it first happens, and with its count when capture stops).

rotated: the Linux engine recording the synthetic machine's portrait monitor
(delivered sideways, as desktop duplication delivers a turned monitor): the
clip is portrait and a decoded frame shows the desktop's red marker where the
upright desktop has it, in its top-right corner.

pause: the engine paused and resumed through its settings file; the clip
leaves the pause out.

usage: engine_test.py clip|pause|rotated <kaptora> <work-folder>
       engine_test.py sync <kp_sync_fixture> <work-folder>
       engine_test.py repeats <kaptora> <work-folder>
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
from runtime_folder import private_home, wait_until_serving  # noqa: E402

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


class EngineRun:
    """The Linux engine as a user runs it, in folders of its own, and its log."""

    def __init__(self, kaptora, work, settings):
        shutil.rmtree(work, ignore_errors=True)
        os.makedirs(work)
        self.kaptora, self.work, self.clips = kaptora, work, os.path.join(work, "clips")
        self.env = private_home(work)
        self.settings_path = os.path.join(work, "settings.json")
        self.log_path = os.path.join(work, "state", "Kaptora", "logs", "engine.log")
        self.write_settings(settings)
        self.process = subprocess.Popen([kaptora, "--stand-ins", "--settings", self.settings_path], env=self.env,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not wait_until_serving([kaptora], self.env):
            fail("the engine does not serve its control channel")

    def write_settings(self, settings):
        settings = dict(settings, replay=dict(settings.get("replay", {}), folder=self.clips))
        with open(self.settings_path, "w") as f:
            json.dump(dict(settings, general={"language": "en"}), f)

    def matching(self, pattern):
        """(seconds of the day, match) of each log line matching `pattern`."""
        if not os.path.exists(self.log_path):
            return []
        found = []
        with open(self.log_path, encoding="utf-8") as f:
            for line in f:
                m = re.fullmatch(pattern, line.rstrip("\r\n")[24:])
                if m:
                    h, mi, sec = line[11:23].split(":")
                    found.append((int(h) * 3600 + int(mi) * 60 + float(sec), m))
        return found

    def wait_for(self, pattern, timeout, count=1):
        deadline = time.monotonic() + timeout
        while len(self.matching(pattern)) < count:
            if time.monotonic() > deadline:
                fail("timed out waiting for " + pattern)
            time.sleep(0.05)
        return self.matching(pattern)[count - 1]

    def save(self):
        """Saves and returns the notification's length in seconds and the clip's path."""
        subprocess.run([self.kaptora, "save"], env=self.env, check=True)
        self.wait_for(r"notification: Clip saved \| .*", 15)
        note = self.matching(r"notification: Clip saved \| (\d+):(\d\d) · (Kaptora_[-_\d]+\.mp4)")
        if len(note) != 1:
            fail("notification lines %r" % note)
        m = note[0][1]
        return int(m.group(1)) * 60 + int(m.group(2)), os.path.join(self.clips, m.group(3))

    def stop(self):
        subprocess.run([self.kaptora, "stop"], env=self.env, check=True)
        if self.process.wait(timeout=30) != 0:
            fail("engine exit code %d" % self.process.returncode)

    def kill(self):
        self.process.kill()


def clip(kaptora, work):
    run = EngineRun(kaptora, work, {"replay": {"bufferSeconds": 10}, "video": {"resolution": "720p", "fps": 15},
                                    "audio": {"microphone": {"enabled": True}, "tracks": "mixed+separate"}})
    try:
        run.wait_for(r"engine: starting capture.*", 10)
        time.sleep(3)  # three seconds of recording to save
        length, path = run.save()
        if length < 2:
            fail("a %d s clip after 3 s of capture" % length)
        judge_clip(path, length)
        exported(run, path)
        run.stop()
    finally:
        run.kill()
    print("engine clip: passed")


def exported(run, clip):
    """A second of the clip through `kaptora export` keeps its tracks' names,
    order and enabled track."""
    job, out = os.path.join(run.work, "job.json"), os.path.join(run.work, "exported.mp4")
    with open(job, "w") as f:
        json.dump({"input": clip, "output": out, "keep": [{"start": 0, "end": 1}]}, f)
    r = subprocess.run([run.kaptora, "export", job], env=run.env, stdin=subprocess.DEVNULL, capture_output=True,
                       text=True, timeout=120)
    if r.returncode != 0 or r.stdout.splitlines()[-1:] != ["done"]:
        fail("export exited with %d: %r %s" % (r.returncode, r.stdout[-200:], r.stderr[-2000:]))

    def tracks(path):
        streams = json.loads(subprocess.run(["ffprobe", "-v", "error", "-of", "json", "-show_streams", path],
                                            capture_output=True, check=True).stdout)["streams"]
        return [(s.get("tags", {}).get("handler_name"), s["disposition"]["default"]) for s in streams
                if s["codec_type"] == "audio"]

    before, after = tracks(clip), tracks(out)
    if after != before or [name for name, default in after if default] != ["Desktop + Microphone"]:
        fail("exported tracks %r, the clip's %r" % (after, before))


def repeats(kaptora, work):
    start = time.monotonic()
    run = EngineRun(kaptora, work, {"video": {"encoder": "nvenc"}})
    try:
        time.sleep(max(0.0, start + 12 - time.monotonic()))
        run.stop()
    finally:
        run.kill()
    with open(run.log_path, encoding="utf-8") as f:
        messages = [line.rstrip("\r\n")[24:] for line in f]
    counted = [re.fullmatch(r"(.*) \(repeated (\d+) times in the last \d+ min\)", m) for m in messages]
    lines = [c.group(1) if c else m for c, m in zip(counted, messages)]
    build = [line for line in lines if line.split(":")[0] in ("pipeline", "capture", "encoder")]
    over = sorted({line for line in build if build.count(line) > 2})
    failed = [int(c.group(2)) + 1 for c in counted if c and c.group(1) == "pipeline: build failed, retrying in 2s"]
    print("repeats: %d log lines in 12 s, builds %r" % (len(messages), failed))
    if over or not build or len(failed) != 1 or not 4 <= failed[0] <= 8:
        fail("lines written more than twice %r; failed builds (first + counted) %r:\n%s" %
             (over, failed, "\n".join(messages[-40:])))
    print("engine repeats: passed")


def pause(kaptora, work):
    """3 s recorded, paused for 3 s through the settings file, 3 s more: the
    clip holds the recorded time only, and no picture lasts through the pause."""
    settings = {"replay": {"bufferSeconds": 30}, "video": {"resolution": "720p", "fps": 15}}  # all of it fits
    run = EngineRun(kaptora, work, settings)
    try:
        started = run.wait_for(r"engine: starting capture.*", 10)[0]
        time.sleep(3)
        run.write_settings(dict(settings, replay={"bufferSeconds": 30, "enabled": False}))
        paused = run.wait_for(r"engine: capture stopped.*", 10)[0]
        time.sleep(3)
        run.write_settings(settings)
        resumed = run.wait_for(r"engine: starting capture.*", 10, count=2)[0]
        time.sleep(3)
        length, path = run.save()
        requested = run.matching(r"save: (\d+\.\d)s clip requested .*")[0][0]
        run.stop()
    finally:
        run.kill()
    def since(a, b):  # seconds of the day, across midnight too
        return (b - a) % 86400

    recorded = since(started, paused) + since(resumed, requested)
    probe = json.loads(subprocess.run(["ffprobe", "-v", "error", "-of", "json", "-show_streams", "-show_packets", path],
                                      capture_output=True, check=True).stdout)
    durations = {s["codec_type"]: float(s["duration"]) for s in probe["streams"]}
    video_pts = sorted(float(p["pts_time"]) for p in probe["packets"] if p["stream_index"] == 0)
    largest = max(b - a for a, b in zip(video_pts, video_pts[1:]))
    print("pause clip: video %.3f s, audio %.3f s, largest video sample %.3f s; recorded %.1f s of %.1f s" %
          (durations["video"], durations["audio"], largest, recorded, since(started, requested)))
    # The log lines bracket each run: capture starts a little after its line
    # and ends a little before.
    if not recorded - 1.5 < durations["video"] < recorded + 0.3 or abs(length - durations["video"]) > 1.0:
        fail("expected about %.1f s of recorded video, the notification said %d s" % (recorded, length))
    # A late machine may skip frames, up to 1 s without being a cut; the pause is longer.
    if largest > 1.5:
        fail("a picture lasts %.3f s: the pause is in the clip" % largest)
    # Audio starts after the video at each start and stops before it at the
    # pause, the more so on a busy machine.
    if not durations["video"] - 1.5 < durations["audio"] <= durations["video"] + 0.1:
        fail("audio and video lengths differ")
    print("engine pause: passed")


def rotated(kaptora, work):
    run = EngineRun(kaptora, work, {"replay": {"bufferSeconds": 10},
                                    "video": {"monitor": "\\\\.\\DISPLAY2", "resolution": "720p", "fps": 10}})
    try:
        time.sleep(2.5)
        _, path = run.save()
        run.stop()
    finally:
        run.kill()
    video = json.loads(subprocess.run(["ffprobe", "-v", "error", "-of", "json", "-show_streams", "-select_streams",
                                       "v", path], capture_output=True, check=True).stdout)["streams"][0]
    width, height = video["width"], video["height"]
    # 1080x1920 at 720 lines: 405 rounded down to even.
    if (width, height) != (404, 720):
        fail("a %dx%d clip of the 1080x1920 portrait monitor" % (width, height))
    rgb = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-frames:v", "1", "-f", "rawvideo",
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


if __name__ == "__main__":
    {"clip": clip, "pause": pause, "sync": sync, "repeats": repeats, "rotated": rotated}[sys.argv[1]](*sys.argv[2:4])
