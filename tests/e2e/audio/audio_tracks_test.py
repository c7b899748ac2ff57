#!/usr/bin/env python3
"""Audio tracks end to end, judged by ffprobe and ffmpeg.

For every source/layout combination the fixture records scripted tones for a
few seconds of real time through the audio pipeline (tone devices, mixer,
FFmpeg's AAC encoder) into an MP4. Then:
- ffprobe must list exactly the expected tracks (by handler name), AAC LC at
  48 kHz stereo, each lasting the recorded time minus the mixer's 200 ms lag;
- every packet time stamp must sit on the 1,024-frame grid of the 48 kHz
  clock, one after the other without gaps;
- the decoded audio of each track must hold the right tone at the right time:
  the desktop's 440 Hz (silent during its device's 1.0-1.5 s gap), the
  microphone's 1 kHz bursts at 0.5-0.8 s and 1.5-1.8 s, or both in the mix.
The signal is judged by frequency (Goertzel), never by bytes.

usage: audio_tracks_test.py <kp_audio_fixture> <work folder>
"""
import array
import json
import math
import os
import shutil
import subprocess
import sys

SECONDS = 2.5
RATE = 48000
LAG = 0.2

DESKTOP = "Desktop Audio"
MIC = "Microphone"
MIXED = "Desktop + Microphone"

# (name, desktop, mic, layout, expected track names in index order)
CONFIGS = [
    ("desktop-only", 1, 0, "mixed+separate", [DESKTOP]),
    ("mic-only", 0, 1, "mixed", [MIC]),
    ("mixed", 1, 1, "mixed", [MIXED]),
    ("separate", 1, 1, "separate", [DESKTOP, MIC]),
    ("mixed+separate", 1, 1, "mixed+separate", [MIXED, DESKTOP, MIC]),
]

# What sounds in each track: (window start s, window end s, 440 Hz on, 1 kHz on).
# Windows keep clear of the scripted edges by more than the AAC priming delay.
DESKTOP_EXPECT = [(0.25, 0.45, True, False), (0.6, 0.75, True, False),
                  (1.1, 1.4, False, False), (1.6, 2.2, True, False)]
MIC_EXPECT = [(0.2, 0.45, False, False), (0.55, 0.75, False, True),
              (0.9, 1.4, False, False), (1.55, 1.75, False, True)]
MIXED_EXPECT = [(0.25, 0.45, True, False), (0.55, 0.75, True, True),
                (1.1, 1.4, False, False), (1.55, 1.75, True, True),
                (1.9, 2.2, True, False)]
EXPECT = {DESKTOP: DESKTOP_EXPECT, MIC: MIC_EXPECT, MIXED: MIXED_EXPECT}

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAILED:", what)


def run(args):
    return subprocess.run(args, capture_output=True, timeout=120)


def tone_amplitude(samples, start, end, freq):
    """Amplitude (full scale 1.0) of `freq` in samples[start:end] (Goertzel)."""
    n = end - start
    coeff = 2.0 * math.cos(2.0 * math.pi * freq / RATE)
    s1 = s2 = 0.0
    for i in range(start, end):
        s0 = samples[i] / 32768.0 + coeff * s1 - s2
        s2, s1 = s1, s0
    power = s1 * s1 + s2 * s2 - coeff * s1 * s2
    return 2.0 * math.sqrt(max(power, 0.0)) / n


def rms(samples, start, end):
    return math.sqrt(sum((samples[i] / 32768.0) ** 2 for i in range(start, end)) / (end - start))


def judge(name, path, expected_names):
    probe = run(["ffprobe", "-v", "error", "-show_streams", "-of", "json", path])
    check(probe.returncode == 0, f"{name}: ffprobe failed: {probe.stderr.decode()}")
    if probe.returncode != 0:
        return
    streams = json.loads(probe.stdout)["streams"]
    names = [s.get("tags", {}).get("handler_name") for s in streams]
    check(sorted(names) == sorted(expected_names), f"{name}: tracks {names}, expected {expected_names}")
    for stream in streams:
        track = stream.get("tags", {}).get("handler_name")
        label = f"{name}/{track}"
        check(stream["codec_type"] == "audio" and stream["codec_name"] == "aac", f"{label}: not AAC")
        check(stream.get("profile") == "LC", f"{label}: profile {stream.get('profile')}")
        check(int(stream["sample_rate"]) == RATE and int(stream["channels"]) == 2,
              f"{label}: {stream['sample_rate']} Hz, {stream['channels']} channels")
        duration = float(stream["duration"])
        check(abs(duration - (SECONDS - LAG)) < 0.15, f"{label}: duration {duration:.3f}s")
        check(float(stream.get("start_time", "0")) == 0.0, f"{label}: start {stream.get('start_time')}")

        index = stream["index"]
        packets = run(["ffprobe", "-v", "error", "-select_streams", str(index), "-show_entries",
                       "packet=pts,duration", "-of", "json", path])
        rows = json.loads(packets.stdout)["packets"]
        pts = [int(p["pts"]) for p in rows]
        check(pts == [1024 * k for k in range(len(pts))], f"{label}: packet times off the 1,024-frame grid")
        check(all(int(p["duration"]) == 1024 for p in rows), f"{label}: packet durations not 1,024")

        decoded = run(["ffmpeg", "-v", "error", "-i", path, "-map", f"0:{index}", "-f", "s16le", "-"])
        check(decoded.returncode == 0 and not decoded.stderr, f"{label}: decode reported {decoded.stderr[:200]}")
        stereo = array.array("h")
        stereo.frombytes(decoded.stdout)
        left = stereo[0::2]
        check(abs(len(left) - len(pts) * 1024) <= 2048, f"{label}: decoded {len(left)} frames for {len(pts)} packets")
        for start, end, has440, has1k in EXPECT.get(track, []):
            a, b = int(start * RATE), int(end * RATE)
            if b > len(left):
                check(False, f"{label}: too short for window {start}-{end}s")
                continue
            amp440 = tone_amplitude(left, a, b, 440.0)
            amp1k = tone_amplitude(left, a, b, 1000.0)
            where = f"{label} {start}-{end}s (440 Hz {amp440:.3f}, 1 kHz {amp1k:.3f}, rms {rms(left, a, b):.3f})"
            check((amp440 > 0.2) == has440 and (amp440 < 0.02) != has440, where + ": 440 Hz")
            check((amp1k > 0.2) == has1k and (amp1k < 0.02) != has1k, where + ": 1 kHz")
            if not has440 and not has1k:
                check(rms(left, a, b) < 0.005, where + ": not silent")


def main():
    fixture, work = sys.argv[1], sys.argv[2]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    for name, desktop, mic, layout, expected in CONFIGS:
        path = os.path.join(work, name + ".mp4")
        r = run([fixture, path, str(SECONDS), str(desktop), str(mic), layout])
        print(r.stdout.decode(), end="")
        check(r.returncode == 0, f"{name}: fixture exit {r.returncode}: {r.stderr.decode()[-400:]}")
        if r.returncode == 0:
            judge(name, path, expected)
    if failures:
        print(f"{len(failures)} check(s) failed")
        return 1
    print("audio tracks: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
