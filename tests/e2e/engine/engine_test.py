#!/usr/bin/env python3
"""The Linux engine as a user runs it, judged by its log (the console shell
writes "tray:", "notification: <title> | <text>" and "launch: <program>
<parameters>" lines) and by ffprobe/ffmpeg over the saved clip.

1. With a settings application beside the executable and both tone sources
   (desktop 440 Hz, microphone 1 kHz) on three tracks: `kaptora settings`
   launches it; `kaptora save` ends in the "Clip saved" notification and a
   clip holding one H.264 stream and three AAC LC tracks by name, each
   sounding its own tones on the 1,024-frame grid; rewriting the settings
   file reloads by itself, once, with the restart that change implies.
2. With an unreadable settings file: the defaults stay in force, the file is
   left as it was, the start-up notification carries the loader's error
   text, and `kaptora settings` falls back to Notepad on the settings file.

usage: engine_test.py <kaptora> <work-folder>
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

TRACKS = {"Desktop + Microphone": (True, True), "Desktop Audio": (True, False), "Microphone": (False, True)}


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def wait_for(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            fail("timed out waiting for " + what)
        time.sleep(0.05)


class Engine:
    def __init__(self, kaptora, work, settings_text, settings_app):
        shutil.rmtree(work, ignore_errors=True)
        os.makedirs(os.path.join(work, "bin"))
        os.makedirs(os.path.join(work, "run"), mode=0o700)
        self.kaptora = os.path.join(work, "bin", "kaptora")
        shutil.copy(kaptora, self.kaptora)
        if settings_app:
            open(os.path.join(work, "bin", "Kaptora.Settings.exe"), "w").close()
        self.env = dict(os.environ, HOME=work, XDG_CONFIG_HOME=os.path.join(work, "config"),
                        XDG_STATE_HOME=os.path.join(work, "state"), XDG_RUNTIME_DIR=os.path.join(work, "run"))
        os.makedirs(os.path.join(work, "settings"))
        self.settings = os.path.join(work, "settings", "settings.json")
        with open(self.settings, "w") as f:
            f.write(settings_text)
        self.log_path = os.path.join(work, "state", "Kaptora", "logs", "engine.log")
        self.process = subprocess.Popen([self.kaptora, "--settings", self.settings], env=self.env,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def matching(self, pattern):
        try:
            with open(self.log_path, encoding="utf-8") as f:
                lines = [line.rstrip("\r\n")[24:] for line in f]
        except FileNotFoundError:
            return []
        return [m for m in (re.fullmatch(pattern, line) for line in lines) if m]

    def command(self, word):
        if subprocess.run([self.kaptora, word], env=self.env).returncode != 0:
            fail("kaptora %s exited non-zero" % word)

    def stop(self):
        self.command("stop")
        if self.process.wait(timeout=30) != 0:
            fail("engine exit code %d" % self.process.returncode)


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
    if len(video) != 1 or video[0]["codec_name"] != "h264":
        fail("%s: expected one H.264 stream, got %r" % (path, [s["codec_name"] for s in streams]))
    if abs(float(video[0]["duration"]) - seconds) > 0.2:
        fail("%s: video lasts %s s, the log says %.1f s" % (path, video[0]["duration"], seconds))
    audio = [s for s in streams if s["codec_type"] == "audio"]
    # Audio tracks are stored last track first; readers list them so.
    names = [s.get("tags", {}).get("handler_name") for s in audio][::-1]
    if names != list(TRACKS):
        fail("%s: audio tracks %r" % (path, names))
    for s, name in zip(audio, names[::-1]):
        if (s["codec_name"], s.get("profile"), s["sample_rate"], s["channels"]) != ("aac", "LC", "48000", 2):
            fail("%s: %s, %s %s Hz %d ch" % (name, s["codec_name"], s.get("profile"), s["sample_rate"], s["channels"]))
        packets = json.loads(subprocess.run(["ffprobe", "-v", "error", "-of", "json", "-select_streams",
                                             str(s["index"]), "-show_entries", "packet=pts", path],
                                            capture_output=True, check=True).stdout)["packets"]
        pts = [int(p["pts"]) for p in packets]
        if [b - a for a, b in zip(pts, pts[1:])] != [1024] * (len(pts) - 1):
            fail("%s: packet times off the 1,024-frame grid" % name)
        raw = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-map", "0:%d" % s["index"], "-f", "s16le", "-"],
                             capture_output=True, check=True)
        left = array.array("h", raw.stdout)[0::2]
        middle = left[len(left) // 2 - 9600:len(left) // 2 + 9600]
        amplitudes = (tone(middle, 440.0), tone(middle, 1000.0))
        for amplitude, on in zip(amplitudes, TRACKS[name]):
            if not (amplitude > 0.15 if on else amplitude < 0.02) or raw.stderr:
                fail("%s: 440 Hz %.3f, 1 kHz %.3f, decoder said %r" % (name, *amplitudes, raw.stderr[:200]))
    print("ok: %s, %.2f s video, tracks %r" % (os.path.basename(path), float(video[0]["duration"]), names))


def settings_app_save_and_reload(kaptora, work):
    clips = os.path.join(work, "clips")
    settings = {"replay": {"bufferSeconds": 10, "folder": clips}, "video": {"resolution": "720p", "fps": 15},
                "audio": {"microphone": {"enabled": True}, "tracks": "mixed+separate"}, "general": {"language": "en"}}
    engine = Engine(kaptora, work, json.dumps(settings), settings_app=True)
    try:
        wait_for(lambda: engine.matching(r"engine: starting capture.*"), 10, "the capture to start")
        engine.command("settings")
        app = os.path.join(work, "bin", "Kaptora.Settings.exe")
        wait_for(lambda: engine.matching(re.escape('launch: %s --settings "%s"' % (app, engine.settings))), 10,
                 "the settings application launch")

        time.sleep(3)
        engine.command("save")
        wait_for(lambda: engine.matching(r"notification: Clip saved \| .*"), 15, "the save notification")
        note = engine.matching(r"notification: Clip saved \| (\d+):(\d\d) · (Kaptora_[-_\d]+\.mp4)")
        summary = engine.matching(r"save: (\d+\.\d)s clip from \d\d:\d\d:\d\d\.\d\d\d, 3 audio track\(s\), "
                                  r"\d+ MB in \d+\.\ds \(\d+ MB/s\) → (.*)")
        if len(note) != 1 or len(summary) != 1:
            fail("save lines: %r %r" % (note, summary))
        minutes, secs, name = int(note[0].group(1)), int(note[0].group(2)), note[0].group(3)
        length = float(summary[0].group(1))
        if os.path.basename(summary[0].group(2)) != name or abs(minutes * 60 + secs - length) > 0.6 or length < 2.5:
            fail("notification %d:%02d %s, summary %s" % (minutes, secs, name, summary[0].group(0)))
        judge_clip(os.path.join(clips, name), length)

        starts = len(engine.matching(r"engine: starting capture.*"))
        settings["video"]["fps"] = 10
        with open(engine.settings, "w") as f:  # written in two steps, as editors do
            f.write(json.dumps(settings)[:20])
            f.flush()
            time.sleep(0.05)
            f.write(json.dumps(settings)[20:])
        wait_for(lambda: engine.matching(r"engine: starting capture.*10 fps.*"), 10, "the restart")
        time.sleep(1.0)
        # The half-written file is never read: one reload, no failure.
        if [m.group(0) for m in engine.matching(r"settings: .*")] != ["settings: reloaded"] or \
                len(engine.matching(r"engine: video settings changed — restarting capture \(buffer kept\)")) != 1 or \
                len(engine.matching(r"engine: starting capture.*")) != starts + 1:
            fail("reload lines: %r" % [m.group(0) for m in engine.matching(r"(settings|engine): .*")])
        engine.stop()
    finally:
        engine.process.kill()
    if [m.group(0) for m in engine.matching(r"tray: .*")][:1] != ["tray: recording"]:
        fail("tray lines: %r" % engine.matching(r"tray: .*"))


def unreadable_settings(kaptora, work):
    text = '{ "replay": { "bufferSeconds": 10, '
    engine = Engine(kaptora, work, text, settings_app=False)
    try:
        wait_for(lambda: engine.matching(r"notification: .*"), 10, "the start-up notification")
        logged = engine.matching(r"settings: (.*) — using defaults")
        shown = engine.matching(r"notification: 설정 파일을 읽지 못했어요 \| (.*)")
        if len(logged) != 1 or len(shown) != 1 or shown[0].group(1) != logged[0].group(1):
            fail("loader error: logged %r, shown %r" % (logged, engine.matching(r"notification: .*")))
        if not engine.matching(r"engine: starting capture.*window 300s"):
            fail("defaults not in force: %r" % engine.matching(r"engine: starting capture.*"))
        engine.command("settings")
        wait_for(lambda: engine.matching(re.escape('launch: notepad.exe "%s"' % engine.settings)), 10,
                 "the Notepad fallback")
        engine.stop()
    finally:
        engine.process.kill()
    with open(engine.settings) as f:
        if f.read() != text:
            fail("the unreadable settings file was rewritten")


def main():
    kaptora, work = sys.argv[1:3]
    settings_app_save_and_reload(kaptora, os.path.join(work, "app"))
    unreadable_settings(kaptora, os.path.join(work, "unreadable"))
    print("engine e2e: passed")


if __name__ == "__main__":
    main()
