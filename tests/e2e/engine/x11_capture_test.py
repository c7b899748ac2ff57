#!/usr/bin/env python3
"""The Linux engine on a real X display: a private Xvfb, a client painting
four known quadrants, the engine with its X11 chain and x264. `kaptora save`
writes a clip whose first frame shows the quadrants and whose last frame
shows them mirrored (the client swapped them before the save).

usage: x11_capture_test.py <kaptora> <x11_pattern_client> <work-folder>
"""
import json
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


def quadrant_colours(clip, select):
    """RGB of the four quadrant centres of one decoded frame: TL, TR, BL, BR."""
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", clip, "-vf", select, "-frames:v", "1", "-f", "rawvideo",
                          "-pix_fmt", "rgb24", "-"], capture_output=True, check=True).stdout
    at = [(y * 1280 + x) * 3 for y in (180, 540) for x in (320, 960)]
    return [tuple(raw[i:i + 3]) for i in at]


def near(found, wanted):
    return all(abs(a - b) <= 40 for f, w in zip(found, wanted) for a, b in zip(f, w))


def main():
    kaptora, client_path, work = sys.argv[1:4]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    server, display = start_xvfb()
    client = engine = None
    try:
        env = dict(os.environ, DISPLAY=display, HOME=work, XDG_CONFIG_HOME=os.path.join(work, "config"),
                   XDG_STATE_HOME=os.path.join(work, "state"), XDG_RUNTIME_DIR=short_runtime_folder())
        client = subprocess.Popen([client_path], env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        if client.stdout.readline().strip() != "ready":
            fail("the pattern client did not start")
        settings, clips = os.path.join(work, "settings.json"), os.path.join(work, "clips")
        with open(settings, "w") as f:
            json.dump({"replay": {"bufferSeconds": 10, "folder": clips}, "video": {"fps": 30},
                       "audio": {"microphone": {"enabled": False}}, "general": {"language": "en"}}, f)
        log_path = os.path.join(work, "state", "Kaptora", "logs", "engine.log")

        def messages():
            if not os.path.exists(log_path):
                return []
            with open(log_path, encoding="utf-8") as f:
                return [line.rstrip("\r\n")[24:] for line in f]

        def wait_for(pattern, timeout):
            deadline = time.monotonic() + timeout
            while time.monotonic() < deadline:
                found = [m for m in map(lambda s: re.fullmatch(pattern, s), messages()) if m]
                if found:
                    return found[0]
                time.sleep(0.05)
            fail("timed out waiting for %r; log:\n%s" % (pattern, "\n".join(messages())))

        engine = subprocess.Popen([kaptora, "--settings", settings], env=env, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        if not wait_until_serving([kaptora], env):
            fail("the engine does not serve its control channel")
        wait_for(r"engine: video from the X11 display " + re.escape(display), 5)
        wait_for(r"encoder: x264 \(software\)", 10)
        time.sleep(2)
        client.stdin.write("swap\n")
        client.stdin.flush()
        if not client.stdout.readline().startswith("swapped "):
            fail("the pattern client did not swap")
        time.sleep(1.5)
        subprocess.run([kaptora, "save"], env=env, check=True)
        note = wait_for(r"notification: Clip saved \| \d+:\d\d · (Kaptora_[-_\d]+\.mp4)", 20)
        subprocess.run([kaptora, "stop"], env=env, check=True)
        if engine.wait(timeout=30) != 0:
            fail("engine exit code %d" % engine.returncode)
        clip = os.path.join(clips, note.group(1))
        probe = json.loads(subprocess.run(["ffprobe", "-v", "error", "-show_streams", "-select_streams", "v",
                                           "-of", "json", clip], capture_output=True, check=True).stdout)["streams"]
        if [(s["codec_name"], s["width"], s["height"]) for s in probe] != [("h264", 1280, 720)]:
            fail("video streams %r" % probe)
        first = quadrant_colours(clip, "select=eq(n\\,0)")
        last = quadrant_colours(clip, "reverse")
        if not near(first, [RED, GREEN, BLUE, WHITE]):
            fail("first frame's quadrants %r" % first)
        if not near(last, [GREEN, RED, WHITE, BLUE]):
            fail("last frame's quadrants %r" % last)
        print("x11 capture: passed (%s, %.1f s)" % (os.path.basename(clip), float(probe[0]["duration"])))
    finally:
        for p in (engine, client, server):
            if p and p.poll() is None:
                p.kill()
                p.wait()


if __name__ == "__main__":
    main()
