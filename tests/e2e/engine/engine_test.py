#!/usr/bin/env python3
"""The Linux engine as a user runs it, judged by its log (the console shell
writes "notification: <title> | <text>" lines) and by ffprobe/ffmpeg over the
saved clip: with both tone sources (desktop 440 Hz, microphone 1 kHz) on three
tracks, `kaptora save` ends in the "Clip saved" notification and a clip
holding one H.264 stream and three AAC LC tracks by name, each sounding its
own tones on the 1,024-frame grid; rewriting the settings file reloads by
itself, once, with the restart that change implies.

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


def tone(samples, freq):
    """Amplitude (full scale 1.0) of `freq` in the samples (Goertzel)."""
    coeff, s1, s2 = 2.0 * math.cos(2.0 * math.pi * freq / 48000), 0.0, 0.0
    for x in samples:
        s1, s2 = x / 32768.0 + coeff * s1 - s2, s1
    return 2.0 * math.sqrt(max(s1 * s1 + s2 * s2 - coeff * s1 * s2, 0.0)) / len(samples)


def probe(path, *args):
    return json.loads(subprocess.run(["ffprobe", "-v", "error", "-of", "json", *args, path],
                                     capture_output=True, check=True).stdout)


def judge_clip(path, seconds):
    streams = probe(path, "-show_streams")["streams"]
    video = [s for s in streams if s["codec_type"] == "video"]
    if len(video) != 1 or video[0]["codec_name"] != "h264" or abs(float(video[0]["duration"]) - seconds) > 0.2:
        fail("%s: expected one H.264 stream of %.1f s, got %r" % (path, seconds, streams))
    audio = [s for s in streams if s["codec_type"] == "audio"]
    # Audio tracks are stored last track first; readers list them so.
    names = [s.get("tags", {}).get("handler_name") for s in audio][::-1]
    if names != list(TRACKS):
        fail("%s: audio tracks %r" % (path, names))
    for s, name in zip(audio, names[::-1]):
        if (s["codec_name"], s.get("profile"), s["sample_rate"], s["channels"]) != ("aac", "LC", "48000", 2):
            fail("%s: %s, %s %s Hz %d ch" % (name, s["codec_name"], s.get("profile"), s["sample_rate"], s["channels"]))
        pts = [int(p["pts"]) for p in probe(path, "-select_streams", str(s["index"]),
                                            "-show_entries", "packet=pts")["packets"]]
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


def main():
    kaptora, work = sys.argv[1:3]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(os.path.join(work, "run"), mode=0o700)
    os.makedirs(os.path.join(work, "settings"))
    env = dict(os.environ, HOME=work, XDG_CONFIG_HOME=os.path.join(work, "config"),
               XDG_STATE_HOME=os.path.join(work, "state"), XDG_RUNTIME_DIR=os.path.join(work, "run"))
    settings_path, clips = os.path.join(work, "settings", "settings.json"), os.path.join(work, "clips")
    settings = {"replay": {"bufferSeconds": 10, "folder": clips}, "video": {"resolution": "720p", "fps": 15},
                "audio": {"microphone": {"enabled": True}, "tracks": "mixed+separate"}, "general": {"language": "en"}}
    with open(settings_path, "w") as f:
        json.dump(settings, f)
    log_path = os.path.join(work, "state", "Kaptora", "logs", "engine.log")

    def matching(pattern):
        if not os.path.exists(log_path):
            return []
        with open(log_path, encoding="utf-8") as f:
            return [m for m in (re.fullmatch(pattern, line.rstrip("\r\n")[24:]) for line in f) if m]

    def command(word):
        if subprocess.run([kaptora, word], env=env).returncode != 0:
            fail("kaptora %s exited non-zero" % word)

    engine = subprocess.Popen([kaptora, "--settings", settings_path], env=env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_for(lambda: matching(r"engine: starting capture.*"), 10, "the capture to start")
        time.sleep(3)
        command("save")
        wait_for(lambda: matching(r"notification: Clip saved \| .*"), 15, "the save notification")
        note = matching(r"notification: Clip saved \| (\d+):(\d\d) · (Kaptora_[-_\d]+\.mp4)")
        summary = matching(r"save: (\d+\.\d)s clip from \d\d:\d\d:\d\d\.\d\d\d, 3 audio track\(s\), "
                           r"\d+ MB in \d+\.\ds \(\d+ MB/s\) → (.*)")
        if len(note) != 1 or len(summary) != 1:
            fail("save lines: %r %r" % (note, summary))
        minutes, secs, name = int(note[0].group(1)), int(note[0].group(2)), note[0].group(3)
        length = float(summary[0].group(1))
        if os.path.basename(summary[0].group(2)) != name or abs(minutes * 60 + secs - length) > 0.6 or length < 2.5:
            fail("notification %d:%02d %s, summary %s" % (minutes, secs, name, summary[0].group(0)))
        judge_clip(os.path.join(clips, name), length)

        settings["video"]["fps"] = 10
        text = json.dumps(settings)
        with open(settings_path, "w") as f:  # written in two steps, as editors do
            f.write(text[:20])
            f.flush()
            time.sleep(0.05)
            f.write(text[20:])
        wait_for(lambda: matching(r"engine: starting capture.*10 fps.*"), 10, "the restart")
        time.sleep(1.0)
        # The half-written file is never read: one reload, no failure.
        if [m.group(0) for m in matching(r"settings: .*")] != ["settings: reloaded"] or \
                len(matching(r"engine: video settings changed — restarting capture \(buffer kept\)")) != 1 or \
                len(matching(r"engine: starting capture.*")) != 2:
            fail("reload lines: %r" % [m.group(0) for m in matching(r"(settings|engine): .*")])
        command("stop")
        if engine.wait(timeout=30) != 0:
            fail("engine exit code %d" % engine.returncode)
    finally:
        engine.kill()
    print("engine e2e: passed")


if __name__ == "__main__":
    main()
