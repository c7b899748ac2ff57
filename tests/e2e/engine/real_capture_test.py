#!/usr/bin/env python3
"""The Linux engine on a real desktop: a private Xvfb and PulseAudio daemon
(a null sink), and a client that paints four known quadrants and plays a
440 Hz tone into the sink. The engine runs its X11 chain with x264 and the
sound server's sources. `kaptora save` writes a clip whose first frame shows
the quadrants and whose desktop track sounds the tone; at one instant the
client mirrors the pattern and restarts the tone after a silence, and in
the clip the tone's onset follows the picture's change by what the client
measured, within 150 ms. The save comes from the save hotkey (Alt+F10) the
client types; the pause hotkey (Alt+F9), which the client holds, is refused
with its line. A notification service on a private session bus receives
"Clip saved" and clicks it; the engine then opens the clip's folder through
xdg-open (a stand-in on PATH that records what it is asked). The save
sound plays into the sink once: its 1318.5 Hz note sounds there for about
0.14 s.

usage: real_capture_test.py <kaptora> <x11_pattern_client> <work-folder>
"""
import array
import cmath
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

RED, GREEN, BLUE, WHITE = (255, 0, 0), (0, 255, 0), (0, 0, 255), (255, 255, 255)


def fail(message):
    sys.exit("FAIL: " + message)


def start_xvfb():
    """A server on a free display number (it tells which on a pipe)."""
    read, write = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1280x720x24", "-nolisten", "tcp"],
                              pass_fds=(write,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write)
    with os.fdopen(read) as f:
        number = f.readline().strip()
    if not number:
        fail("Xvfb did not start")
    return server, ":" + number


def start_pulse(folder):
    """A sound server with one null sink, reachable only through its socket."""
    socket = os.path.join(folder, "native")
    env = dict(os.environ, HOME=folder, XDG_RUNTIME_DIR=folder, XDG_CONFIG_HOME=folder)
    server = subprocess.Popen(["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                               "-L", "module-null-sink sink_name=kaptora_test",
                               "-L", "module-native-protocol-unix auth-anonymous=1 socket=" + socket],
                              env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 10
    while not os.path.exists(socket):
        if time.monotonic() > deadline or server.poll() is not None:
            fail("the sound server did not start")
        time.sleep(0.05)
    return server, "unix:" + socket


def start_session_bus(folder):
    """A private session bus, a fake notification service on it, and a
    recording xdg-open first on PATH."""
    bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address"], stdout=subprocess.PIPE,
                           text=True)
    address = bus.stdout.readline().strip()
    if not address:
        fail("dbus-daemon did not start")
    service = subprocess.Popen(["/usr/bin/python3", os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                                 "fake_notifications.py"), "Clip saved"],
                               env=dict(os.environ, DBUS_SESSION_BUS_ADDRESS=address), stdout=subprocess.PIPE,
                               text=True)
    if service.stdout.readline().strip() != "ready":
        fail("the notification service did not start")
    opener = os.path.join(folder, "xdg-open")
    with open(opener, "w") as f:
        f.write('#!/bin/sh\necho "$@" >> "%s.log"\n' % opener)
    os.chmod(opener, 0o755)
    return bus, service, address, opener + ".log"


def frames_top_left(clip):
    """(time, RGB) of the top-left quadrant's centre in every frame."""
    times = [float(t.strip(",")) for t in subprocess.run(
        ["ffprobe", "-v", "error", "-select_streams", "v", "-show_entries", "frame=best_effort_timestamp_time",
         "-of", "csv=p=0", clip], capture_output=True, text=True, check=True).stdout.split()]
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", clip, "-vf", "crop=8:8:316:176,scale=1:1", "-fps_mode",
                          "passthrough", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
                         capture_output=True, check=True).stdout
    return list(zip(times, [tuple(raw[i:i + 3]) for i in range(0, len(raw), 3)]))


def quadrants(clip, select):
    """RGB of the four quadrant centres of one decoded frame: TL, TR, BL, BR."""
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", clip, "-vf", select, "-frames:v", "1", "-f", "rawvideo",
                          "-pix_fmt", "rgb24", "-"], capture_output=True, check=True).stdout
    return [tuple(raw[(y * 1280 + x) * 3:(y * 1280 + x) * 3 + 3]) for y in (180, 540) for x in (320, 960)]


def near(found, wanted):
    return all(abs(a - b) <= 40 for a, b in zip(found, wanted))


def desktop_track(clip):
    """The first audio track as mono float samples at 48 kHz, and its start."""
    start = float(json.loads(subprocess.run(
        ["ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries", "stream=start_time", "-of", "json",
         clip], capture_output=True, check=True).stdout)["streams"][0]["start_time"])
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", clip, "-map", "0:a:0", "-ac", "1", "-ar", "48000", "-f",
                          "f32le", "-"], capture_output=True, check=True).stdout
    return array.array("f", raw), start


def tone_windows(samples, frequency, size=960):
    """The amplitude of `frequency` in each Hann-windowed run of `size`
    samples (48 kHz)."""
    hann = [0.5 - 0.5 * math.cos(2 * math.pi * i / size) for i in range(size)]
    turn = [h * cmath.exp(-2j * math.pi * frequency * i / 48000) for i, h in enumerate(hann)]
    return [2 * abs(sum(x * t for x, t in zip(samples[w:w + size], turn))) / sum(hann)
            for w in range(0, len(samples) - size, size)]


def main():
    kaptora, client_path, work = sys.argv[1:4]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    xvfb, display = start_xvfb()
    pulse, pulse_server = start_pulse(short_runtime_folder())
    bus, notifications, bus_address, opened_log = start_session_bus(work)
    client = engine = sink = None
    try:
        env = dict(os.environ, DISPLAY=display, PULSE_SERVER=pulse_server, DBUS_SESSION_BUS_ADDRESS=bus_address,
                   PATH=work + os.pathsep + os.environ["PATH"], HOME=work,
                   XDG_CONFIG_HOME=os.path.join(work, "config"), XDG_STATE_HOME=os.path.join(work, "state"),
                   XDG_RUNTIME_DIR=short_runtime_folder())
        client = subprocess.Popen([client_path], env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

        def tell(word):
            client.stdin.write(word + "\n")
            client.stdin.flush()
            return client.stdout.readline().split()

        if client.stdout.readline().strip() != "ready":
            fail("the pattern client did not start")
        settings, clips = os.path.join(work, "settings.json"), os.path.join(work, "clips")
        with open(settings, "w") as f:
            json.dump({"replay": {"bufferSeconds": 10, "folder": clips}, "video": {"fps": 30},
                       "audio": {"microphone": {"enabled": False}}, "general": {"language": "en"}}, f)
        log_path = os.path.join(work, "state", "Kaptora", "logs", "engine.log")

        def wait_for(pattern, timeout):
            deadline = time.monotonic() + timeout
            while time.monotonic() < deadline:
                if os.path.exists(log_path):
                    with open(log_path, encoding="utf-8") as f:
                        found = [m for m in (re.fullmatch(pattern, line.rstrip("\r\n")[24:]) for line in f) if m]
                    if found:
                        return found[0]
                time.sleep(0.05)
            fail("timed out waiting for %r" % pattern)

        engine = subprocess.Popen([kaptora, "--settings", settings], env=env, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        if not wait_until_serving([kaptora], env):
            fail("the engine does not serve its control channel")
        wait_for(r"engine: video from the X11 display " + re.escape(display), 5)
        wait_for(r"engine: audio from the sound server", 5)
        wait_for(r"encoder: x264 \(software\)", 10)
        wait_for(r"audio: desktop capturing '.*'", 10)
        wait_for(r"hotkey: cannot register 'Alt\+F9' \(in use by another program\)", 5)
        time.sleep(2)
        tell("quiet")
        time.sleep(1)
        _, video_at, audio_at = tell("swap")
        time.sleep(1.5)
        sink_path = os.path.join(work, "sink.raw")
        with open(sink_path, "wb") as sink_file:
            sink = subprocess.Popen(["parec", "-d", "kaptora_test.monitor", "--raw", "--format=s16le",
                                     "--rate=48000", "--channels=1", "--latency-msec=20"], env=env, stdout=sink_file)
        tell("key")
        note = wait_for(r"notification: Clip saved \| \d+:\d\d · (Kaptora_[-_\d]+\.mp4)", 20)
        deadline = time.monotonic() + 10
        while not os.path.exists(opened_log) and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(0.5)  # the sound starts with the save's request
        sink.terminate()
        sink.wait()
        subprocess.run([kaptora, "stop"], env=env, check=True)
        if engine.wait(timeout=30) != 0:
            fail("engine exit code %d" % engine.returncode)
        clip = os.path.join(clips, note.group(1))
        notifications.kill()
        shown = [json.loads(line) for line in notifications.stdout.read().splitlines()]
        saved = [n for n in shown if n["summary"] == "Clip saved"]
        if len(saved) != 1 or saved[0]["app"] != "Kaptora" or "default" not in saved[0]["actions"]:
            fail("notifications on the bus: %r" % shown)
        with open(opened_log) if os.path.exists(opened_log) else open(os.devnull) as f:
            opened = f.read().split("\n")
        if os.path.realpath(opened[0]) != os.path.realpath(clips):
            fail("a click on \"Clip saved\" opened %r, not the clips folder" % opened)

        with open(sink_path, "rb") as f:
            chime = sum(a > 0.05 for a in tone_windows([v / 32768 for v in array.array("h", f.read())], 1318.5))
        if not 4 <= chime <= 12:  # once: about 7
            fail("the save sound's 1318.5 Hz note sounded in %d windows of 20 ms on the sink" % chime)

        probe = json.loads(subprocess.run(["ffprobe", "-v", "error", "-show_streams", "-of", "json", clip],
                                          capture_output=True, check=True).stdout)["streams"]
        if [(s["codec_name"], s.get("width")) for s in probe] != [("h264", 1280), ("aac", None)]:
            fail("streams %r" % [(s["codec_name"], s.get("width")) for s in probe])
        if not all(near(q, w) for q, w in zip(quadrants(clip, "select=eq(n\\,0)"), (RED, GREEN, BLUE, WHITE))):
            fail("first frame's quadrants %r" % quadrants(clip, "select=eq(n\\,0)"))

        samples, audio_start = desktop_track(clip)
        env_ms = [max(map(abs, samples[i:i + 48])) for i in range(0, len(samples) - 48, 48)]
        # The client's 20 ms stream may underrun on a busy machine, leaving
        # short silences in the tone, and the clip may begin before the
        # capture did: the quiet second is the last silence of 0.7 s or more,
        # and the tone's frequency the median over 100 ms windows that sound.
        runs, start = [], None
        for i, e in enumerate(env_ms + [1.0]):
            if e < 0.02 and start is None:
                start = i
            elif e >= 0.02 and start is not None:
                runs.append((i - start, start, i))
                start = None
        quiet = ([r for r in runs if r[0] >= 700] or [(0, 0, 0)])[-1]
        if quiet[0] < 700:
            fail("no silence of the client's quiet second in the desktop track: %r" % runs)
        windows = [samples[w:w + 4800] for w in range(0, quiet[1] * 48 - 4800, 4800)]
        rates = sorted(10 * sum(1 for a, b in zip(w, w[1:]) if a < 0 <= b) for w in windows if max(w) > 0.15)
        if not rates or abs(rates[len(rates) // 2] - 440) > 10:
            fail("the desktop track's tone: %r Hz over 100 ms windows, not 440 Hz" % rates)
        onsets = [quiet[2]]
        flips = [t for t, rgb in frames_top_left(clip) if near(rgb, GREEN)]
        if not flips:
            fail("no frame shows the mirrored pattern")
        offset = (audio_start + onsets[0] / 1000.0) - flips[0]
        expected = float(audio_at) - float(video_at)
        if abs(offset - expected) > 0.150:
            fail("the tone starts %+.0f ms after the picture changes; the client measured %+.0f ms" %
                 (offset * 1000, expected * 1000))
        print("real capture: passed (tone onset %+.0f ms after the picture change, client %+.0f ms)" %
              (offset * 1000, expected * 1000))
    finally:
        for p in (engine, client, notifications, bus, pulse, xvfb, sink):
            if p and p.poll() is None:
                p.kill()
                p.wait()


if __name__ == "__main__":
    main()
