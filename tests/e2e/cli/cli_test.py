#!/usr/bin/env python3
"""End-to-end checks of the command line and the engine's control channel.

Runs against the Linux `kaptora` or, with --wine, against `Kaptora.exe` under
Wine (the caller provides WINEPREFIX and a display). Each check starts real
processes and looks only at what a user can see: exit codes, the exact bytes
on standard error, the log file and the settings file.

usage: cli_test.py [--wine] BINARY
Prints one line per failed check and ends with "N passed, N failed".
"""
import glob
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

USAGE = ("usage:\n"
         "  Kaptora [--settings <path>]                 start (tray)\n"
         "  Kaptora save | stop | reload | settings     control the running instance\n"
         "  Kaptora record <seconds> <out.mp4> [--settings <path>]\n"
         "  Kaptora export <job.json> [--settings <path>]\n")
NOT_RUNNING = "Kaptora is not running\n"

DEFAULT_SETTINGS = """{
  "version": 1,
  "replay": {
    "enabled": true,
    "bufferSeconds": 300,
    "folder": "",
    "bufferFolder": ""
  },
  "video": {
    "monitor": "primary",
    "resolution": "native",
    "fps": 60,
    "codec": "h264",
    "encoder": "auto",
    "rateControl": "quality",
    "quality": "high",
    "bitrateMbps": 30,
    "encoderPreset": "balanced",
    "showCursor": true
  },
  "audio": {
    "desktop": {
      "enabled": true,
      "device": "default",
      "volume": 100
    },
    "microphone": {
      "enabled": false,
      "device": "default",
      "volume": 100
    },
    "tracks": "mixed+separate",
    "bitrateKbps": 160
  },
  "hotkeys": {
    "saveReplay": "Alt+F10",
    "toggleReplay": "Alt+F9"
  },
  "notifications": {
    "sound": true,
    "toast": true
  },
  "general": {
    "language": "ko",
    "startWithWindows": true
  }
}
"""

LOG_LINE = re.compile(rb"^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} (.*)\r$")


class Target:
    """How to start the program and where its files land, per platform."""

    def __init__(self, binary, wine, scratch):
        self.binary = os.path.abspath(binary)
        self.wine = wine
        self.scratch = scratch
        self.env = dict(os.environ)
        if wine:
            self.env["WINEDEBUG"] = "-all"
            self.newline = "\r\n"
            prefix = self.env["WINEPREFIX"]
            users = glob.glob(os.path.join(prefix, "drive_c", "users", "*", "AppData", "Local"))
            users = [u for u in users if "/Public/" not in u]
            if not users:
                raise SystemExit("no user profile in the Wine prefix " + prefix)
            self.local_appdata = users[0]
        else:
            self.newline = "\n"
            home = os.path.join(scratch, "home")
            os.makedirs(home, exist_ok=True)
            self.env.update({
                "HOME": home,
                "XDG_CONFIG_HOME": os.path.join(home, "config"),
                "XDG_STATE_HOME": os.path.join(home, "state"),
                "XDG_RUNTIME_DIR": os.path.join(scratch, "run"),
            })
            os.makedirs(self.env["XDG_RUNTIME_DIR"], mode=0o700, exist_ok=True)
            self.local_appdata = self.env["XDG_STATE_HOME"]

    def command(self, args):
        return (["wine", self.binary] if self.wine else [self.binary]) + list(args)

    def native_path(self, path):
        """The path as the program under test spells it."""
        return "Z:" + path.replace("/", "\\") if self.wine else path

    def log_path(self):
        return os.path.join(self.local_appdata, "Kaptora", "logs", "engine.log")

    def text(self, s):
        return s.replace("\n", self.newline)

    def run(self, args, timeout=60, stderr_file=None):
        if stderr_file is not None:
            with open(stderr_file, "wb") as err:
                p = subprocess.run(self.command(args), env=self.env, stdout=subprocess.PIPE, stderr=err,
                                   stdin=subprocess.DEVNULL, timeout=timeout)
            with open(stderr_file, "rb") as err:
                return p.returncode, p.stdout.decode("utf-8", "replace"), err.read().decode("utf-8", "replace")
        p = subprocess.run(self.command(args), env=self.env, capture_output=True, stdin=subprocess.DEVNULL,
                           timeout=timeout)
        return p.returncode, p.stdout.decode("utf-8", "replace"), p.stderr.decode("utf-8", "replace")

    def start(self, args):
        err = open(os.path.join(self.scratch, "engine-stderr-%d.txt" % time.monotonic_ns()), "wb")
        return subprocess.Popen(self.command(args), env=self.env, stdout=subprocess.DEVNULL, stderr=err,
                                stdin=subprocess.DEVNULL)


class Checks:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def expect(self, ok, what):
        if ok:
            self.passed += 1
        else:
            self.failed += 1
            print("FAILED: " + what, flush=True)
        return ok

    def equal(self, actual, expected, what):
        return self.expect(actual == expected, "%s: expected %r, got %r" % (what, expected, actual))


def log_messages(target):
    """Messages of engine.log without their time stamps; checks the format."""
    try:
        with open(target.log_path(), "rb") as f:
            lines = f.read().split(b"\n")
    except FileNotFoundError:
        return [], True
    messages, well_formed = [], True
    for line in lines[:-1]:
        m = LOG_LINE.match(line)
        if not m:
            well_formed = False
            continue
        messages.append(m.group(1).decode("utf-8", "replace"))
    return messages, well_formed and lines[-1] == b""


def wait_for(predicate, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.1)
    return predicate()


def check_grammar(t, c):
    usage = t.text(USAGE)
    rows = [
        ["SAVE"], ["Save"], ["bogus"], ["--settings"], ["run", "x"], ["run", "--settings", "s.json", "x"],
        ["record"], ["record", "5"], ["record", "0", "o.mp4"], ["record", "-5", "o.mp4"],
        ["record", "abc", "o.mp4"], ["record", "0x10", "o.mp4"], ["record", "inf", "o.mp4"],
        ["record", "nan", "o.mp4"], ["record", "5", "a.mp4", "b.mp4"],
        ["export"], ["export", "a.json", "b.json"],
        ["--settings", "x.json", "nonsense", "--settings", "y.json"],
    ]
    for row in rows:
        code, out, err = t.run(row)
        c.equal((code, out, err), (2, "", usage), "usage for %r" % row)
    for word in ("save", "stop", "reload", "settings"):
        code, out, err = t.run([word])
        c.equal((code, err), (1, t.text(NOT_RUNNING)), "%s without an engine" % word)
    code, _, err = t.run(["save", "ignored", "--settings", "s.json"])
    c.equal((code, err), (1, t.text(NOT_RUNNING)), "save ignores further words")
    # Redirected standard error goes to the file, not to a console.
    redirected = os.path.join(t.scratch, "stderr.txt")
    code, _, err = t.run(["stop"], stderr_file=redirected)
    c.equal((code, err), (1, t.text(NOT_RUNNING)), "stop with standard error redirected to a file")


def check_engine(t, c):
    settings = os.path.join(t.scratch, "cfg", "settings.json")
    settings_arg = t.native_path(settings)
    if os.path.exists(t.log_path()):
        os.remove(t.log_path())
    engine = t.start(["--settings", settings_arg])
    try:
        started = wait_for(lambda: "engine: starting (settings: %s)" % settings_arg in log_messages(t)[0], 30)
        c.expect(started, "engine logs its start with the absolute settings path")
        c.expect(wait_for(lambda: os.path.exists(settings), 10), "first start writes the default settings file")
        if os.path.exists(settings):
            with open(settings, "rb") as f:
                c.equal(f.read().decode("utf-8"), DEFAULT_SETTINGS, "default settings file bytes")
        c.expect(not os.path.exists(settings + ".tmp"), "no temporary settings file is left")
        if t.wine:
            # Wine has no desktop duplication: the pipeline cannot be built
            # and keeps retrying, so nothing is ever buffered.
            c.expect(wait_for(lambda: "pipeline: build failed, retrying in 2s" in log_messages(t)[0], 30),
                     "the pipeline's build failure is logged")
        for word in ("save", "reload", "settings"):
            code, _, err = t.run([word])
            c.equal((code, err), (0, ""), "%s reaches the running engine" % word)
            if word == "save":
                c.expect(wait_for(lambda: any(m.startswith("save: ") for m in log_messages(t)[0]), 10),
                         "save is answered in the log")
        # A second engine only signals the first one and ends with 0.
        code, _, err = t.run(["--settings", settings_arg])
        c.equal((code, err), (0, ""), "second start ends at once with 0")
        c.expect(engine.poll() is None, "first engine still runs after a second start")
        code, _, err = t.run(["stop"])
        c.equal((code, err), (0, ""), "stop reaches the running engine")
        try:
            c.equal(engine.wait(timeout=20), 0, "engine exit code after stop")
        except subprocess.TimeoutExpired:
            c.expect(False, "engine ends after stop")
        messages, well_formed = log_messages(t)
        c.expect(well_formed, "every log line has the local-time format and ends with CRLF")
        # The engine's own lines: start, capture, the answer to save (an
        # unchanged settings file reloads silently), exit, capture statistics.
        saves = [m for m in messages if m.startswith("save: ")]
        answer = "save: buffer is still empty" if t.wine else saves[0] if saves else ""
        c.expect(t.wine or re.fullmatch(r"save: buffer is still empty|save: \d+\.\ds clip requested \(1 in queue\)",
                                        answer), "save is answered with an empty buffer or a request: %r" % answer)
        own = [m for m in messages if m.startswith(("engine:", "settings:")) or m == answer]
        expected = ["engine: starting (settings: %s)" % settings_arg,
                    "engine: starting capture \u2014 monitor primary, native, 60 fps, quality/high, preset balanced, "
                    "window 300s", answer, "engine: exiting"]
        c.equal(own[:4], expected, "the engine's lines up to its exit")
        c.expect(len(own) == 5 and re.fullmatch(r"engine: capture stopped \u2014 \d+ frames, \d+ skipped, "
                                                 r"\d+ recoveries, \d+ rebuilds", own[4]) is not None,
                 "capture statistics follow the exit line: %r" % own[4:])
        code, _, err = t.run(["save"])
        c.equal((code, err), (1, t.text(NOT_RUNNING)), "save after the engine stopped")
    finally:
        if engine.poll() is None:
            engine.kill()
            engine.wait()


def check_settings_and_rotation(t, c):
    # An unreadable settings file is reported, the defaults run, and the file
    # is not overwritten.
    bad = os.path.join(t.scratch, "bad.json")
    with open(bad, "wb") as f:
        f.write(b'{"replay": [1,]}')
    os.makedirs(os.path.dirname(t.log_path()), exist_ok=True)
    with open(t.log_path(), "wb") as f:
        f.write(b"x" * (5 * 1024 * 1024 + 1))
    engine = t.start(["--settings", t.native_path(bad)])
    try:
        expected = "settings: unexpected character at offset 14 \u2014 using defaults"
        c.expect(wait_for(lambda: expected in log_messages(t)[0], 30), "unreadable settings are logged")
        c.expect(os.path.getsize(t.log_path() + ".old") == 5 * 1024 * 1024 + 1, "a log over 5 MiB is rotated")
        t.run(["stop"])
        engine.wait(timeout=20)
    finally:
        if engine.poll() is None:
            engine.kill()
            engine.wait()
    with open(bad, "rb") as f:
        c.equal(f.read(), b'{"replay": [1,]}', "an unreadable settings file is left as it was")

    # A relative --settings path is made absolute against the current folder.
    rel_dir = os.path.join(t.scratch, "reldir")
    os.makedirs(rel_dir, exist_ok=True)
    engine = subprocess.Popen(t.command(["--settings", "rel.json"]), env=t.env, cwd=rel_dir,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    try:
        want = "engine: starting (settings: %s)" % t.native_path(os.path.join(os.path.realpath(rel_dir), "rel.json"))
        c.expect(wait_for(lambda: want in log_messages(t)[0], 30), "relative settings path made absolute")
        if t.wine:
            t.run(["stop"])
        else:
            engine.send_signal(signal.SIGTERM)  # SIGTERM acts as Stop
        c.equal(engine.wait(timeout=20), 0, "engine ends with 0")
        c.expect("engine: exiting" in log_messages(t)[0], "the engine logs engine: exiting")
    finally:
        if engine.poll() is None:
            engine.kill()
            engine.wait()


def main():
    args = sys.argv[1:]
    wine = "--wine" in args
    args = [a for a in args if a != "--wine"]
    if len(args) != 1:
        print(__doc__)
        return 2
    c = Checks()
    with tempfile.TemporaryDirectory(prefix="kaptora-cli-") as scratch:
        t = Target(args[0], wine, scratch)
        check_grammar(t, c)
        check_engine(t, c)
        check_settings_and_rotation(t, c)
    print("%d passed, %d failed" % (c.passed, c.failed))
    return 0 if c.failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
