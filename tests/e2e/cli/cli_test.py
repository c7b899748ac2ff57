#!/usr/bin/env python3
"""End-to-end checks of the command line and the engine's control channel:
exit codes, the exact bytes on standard error, the log file and the settings
file of real processes. The grammar itself is unit-tested.

usage: cli_test.py [--wine] BINARY   (--wine: Kaptora.exe under Wine; the
caller provides WINEPREFIX and a display). Ends with "N passed, N failed".
"""
import contextlib
import glob
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from runtime_folder import private_home, wait_until_serving  # noqa: E402

USAGE = ("usage:\n"
         "  Kaptora [--settings <path>]                 start (tray)\n"
         "  Kaptora save | stop | reload | settings     control the running instance\n"
         "  Kaptora record <seconds> <out.mp4> [--settings <path>]\n"
         "  Kaptora export <job.json> [--settings <path>]\n")
NOT_RUNNING = "Kaptora is not running\n"
LOG_LINE = re.compile(rb"^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} (.*)\r$")


class Target:
    """How to start the program and where its files land, per platform."""

    def __init__(self, binary, wine, scratch):
        self.binary, self.wine, self.scratch = os.path.abspath(binary), wine, scratch
        if wine:
            self.env = dict(os.environ, WINEDEBUG="-all")
            users = [u for u in glob.glob(os.path.join(self.env["WINEPREFIX"], "drive_c", "users", "*", "AppData",
                                                       "Local")) if "/Public/" not in u]
            local_appdata = users[0]
        else:
            self.env = private_home(os.path.join(scratch, "home"))
            local_appdata = self.env["XDG_STATE_HOME"]
        self.log_path = os.path.join(local_appdata, "Kaptora", "logs", "engine.log")

    def command(self, args):
        # The Linux build keeps to its stand-ins even where a desktop runs.
        return (["wine", self.binary] if self.wine else [self.binary, "--stand-ins"]) + list(args)

    def native_path(self, path):  # as the program under test spells it
        return "Z:" + path.replace("/", "\\") if self.wine else path

    def text(self, s):
        return s.replace("\n", "\r\n") if self.wine else s

    def run(self, args, stderr_file=None):
        """Exit code and standard error (a pipe, or the file named)."""
        with open(stderr_file or os.devnull, "w+b") as file:
            p = subprocess.run(self.command(args), env=self.env, stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                               stderr=file if stderr_file else subprocess.PIPE, timeout=60)
            file.seek(0)
            err = file.read() if stderr_file else p.stderr
        return p.returncode, err.decode("utf-8", "replace")

    @contextlib.contextmanager
    def engine(self, args, cwd=None):
        engine = subprocess.Popen(self.command(args), env=self.env, cwd=cwd, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        try:
            yield engine
        finally:
            if engine.poll() is None:
                engine.kill()
                engine.wait()

    def serving(self):
        # Wine's loader alone can take seconds on a busy machine.
        return wait_until_serving(self.command([]), self.env, timeout=30 if self.wine else 10)

    def log(self):
        """Messages of engine.log without their time stamps, and whether every
        line had the local-time format and ended with CRLF."""
        try:
            with open(self.log_path, "rb") as f:
                lines = f.read().split(b"\n")
        except FileNotFoundError:
            return [], True
        matches = [LOG_LINE.match(line) for line in lines[:-1]]
        return ([m.group(1).decode("utf-8", "replace") for m in matches if m],
                all(matches) and lines[-1] == b"")


class Checks:
    passed = failed = 0

    def expect(self, ok, what):
        self.passed, self.failed = self.passed + bool(ok), self.failed + (not ok)
        if not ok:
            print("FAILED: " + what, flush=True)

    def equal(self, actual, expected, what):
        self.expect(actual == expected, "%s: expected %r, got %r" % (what, expected, actual))


def wait_for(predicate, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and not predicate():
        time.sleep(0.1)
    return predicate()


def check_without_engine(t, c):
    # The seconds of "record" are the C runtime's reading (_wtof on Windows).
    for row in (["Save"], ["", "save"], ["record", "0x10", "o.mp4"], ["record", "nan", "o.mp4"]):
        c.equal(t.run(row), (2, t.text(USAGE)), "usage for %r" % row)
    # Redirected standard error goes to the file, not to a console.
    c.equal(t.run(["stop"], stderr_file=os.path.join(t.scratch, "stderr.txt")), (1, t.text(NOT_RUNNING)),
            "stop without an engine, standard error redirected to a file")


def check_engine(t, c):
    settings = os.path.join(t.scratch, "cfg", "settings.json")
    settings_arg = t.native_path(settings)
    if os.path.exists(t.log_path):
        os.remove(t.log_path)
    with t.engine(["--settings", settings_arg]) as engine:
        c.expect(wait_for(lambda: os.path.exists(settings), 30), "first start writes the default settings file")
        if os.path.exists(settings):  # two spaces, LF line ends, a final newline
            with open(settings, "rb") as f:
                text = f.read().decode("utf-8")
            c.equal(text, json.dumps(json.loads(text), indent=2) + "\n", "default settings file layout")
        c.expect(t.serving(), "the engine serves its control channel")
        for word in ("save", "reload", "settings"):
            c.equal(t.run([word]), (0, ""), "%s reaches the running engine" % word)
        c.expect(wait_for(lambda: any(m.startswith("save: ") for m in t.log()[0]), 10), "save is answered in the log")
        # A second engine only signals the first one and ends with 0.
        c.equal(t.run(["--settings", settings_arg]), (0, ""), "second start ends at once with 0")
        c.expect(engine.poll() is None, "first engine still runs after a second start")
        c.equal(t.run(["stop"]), (0, ""), "stop reaches the running engine")
        try:
            c.equal(engine.wait(timeout=20), 0, "engine exit code after stop")
        except subprocess.TimeoutExpired:
            c.expect(False, "engine ends after stop")
    messages, well_formed = t.log()
    c.expect(well_formed, "every log line has the local-time format and ends with CRLF")
    # Start, capture, the answer to save (an unchanged settings file reloads
    # silently), exit, capture statistics. Wine has no desktop duplication:
    # nothing is ever buffered there.
    saves = [m for m in messages if m.startswith("save: ")]
    answer = "save: buffer is still empty" if t.wine else saves[0] if saves else ""
    c.expect(re.fullmatch(r"save: buffer is still empty|save: \d+\.\ds clip requested \(1 in queue\)", answer),
             "save is answered with an empty buffer or a request: %r" % answer)
    # After the start line: Wine's processes do not become per-monitor DPI
    # aware (version 2), which the engine says once; the Linux build names its
    # video and audio sources.
    after_start = (["engine: not per-monitor DPI aware (a compatibility setting?) \u2014 capture may fail"]
                   if t.wine else ["engine: video from the synthetic desktop (stand-in)",
                                   "engine: audio from the tone generators (stand-in)"])
    own = [m for m in messages if m.startswith(("engine:", "settings:")) or m == answer]
    n = 4 + len(after_start)
    c.equal(own[:n], ["engine: starting (settings: %s)" % settings_arg] + after_start +
            ["engine: starting capture \u2014 monitor primary, native, 60 fps, quality/high, preset balanced, "
             "window 300s", answer, "engine: exiting"], "the engine's lines up to its exit")
    c.expect(len(own) == n + 1 and re.fullmatch(r"engine: capture stopped \u2014 \d+ frames, \d+ skipped, "
                                                 r"\d+ recoveries, \d+ rebuilds", own[n]),
             "capture statistics follow the exit line: %r" % own[n:])


def check_unreadable_relative_settings(t, c):
    # A relative --settings path is made absolute against the current folder;
    # an unreadable file is reported, the defaults run, the file stays as it was.
    rel_dir = os.path.join(t.scratch, "reldir")
    os.makedirs(rel_dir)
    with open(os.path.join(rel_dir, "bad.json"), "wb") as f:
        f.write(b'{"replay": [1,]}')
    with t.engine(["--settings", "bad.json"], cwd=rel_dir) as engine:
        want = ["engine: starting (settings: %s)" % t.native_path(os.path.join(os.path.realpath(rel_dir), "bad.json")),
                "settings: unexpected character at offset 14 \u2014 using defaults"]
        c.expect(wait_for(lambda: want[1] in t.log()[0], 30), "unreadable settings are logged")
        c.expect(want[0] in t.log()[0], "relative settings path made absolute")
        c.expect(t.serving(), "the engine serves its control channel")
        if t.wine:
            t.run(["stop"])
        else:
            engine.send_signal(signal.SIGTERM)  # SIGTERM acts as Stop
        c.equal(engine.wait(timeout=20), 0, "engine ends with 0")
    with open(os.path.join(rel_dir, "bad.json"), "rb") as f:
        c.equal(f.read(), b'{"replay": [1,]}', "an unreadable settings file is left as it was")


def main():
    args = [a for a in sys.argv[1:] if a != "--wine"]
    if len(args) != 1:
        print(__doc__)
        return 2
    c = Checks()
    with tempfile.TemporaryDirectory(prefix="kaptora-cli-") as scratch:
        t = Target(args[0], "--wine" in sys.argv[1:], scratch)
        for check in (check_without_engine, check_engine, check_unreadable_relative_settings):
            check(t, c)
    print("%d passed, %d failed" % (c.passed, c.failed))
    return 0 if c.failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
