#!/usr/bin/env python3
"""`Kaptora.exe record 3 out.mp4` under Wine (run inside xvfb-run).

Wine enumerates a display adapter and output and creates a D3D11 device, but
has no D3D11 video device (so the composer cannot start) and no desktop
duplication. Every build of the video chain must therefore fail with the
documented line of each edge it reaches, the pipeline must keep retrying on
its 2-second rhythm, and the record must still end at its end time with
nothing to write: exit code 1 and no output file, not even a partial one.

Usage: record_check.py <path of Kaptora.exe>
"""
import os
import re
import subprocess
import sys
import tempfile
import time

SECONDS = 3
# A record that ends almost at once; run first, it also starts Wine's server
# so that the timed record does not pay for that.
SHORT_SECONDS = 0.001
# Wine's own start-up and shut-down around the record (under a second on an
# idle machine), and at most one build attempt (~0.5 s) past the end time.
WALL_SLACK = 4.0
# The log's clock starts at its first line, a few tenths of a second after
# the record started (the first output enumeration).
LOG_EARLY_SLACK = 1.5
LOG_LATE_SLACK = 0.75

# One failed build on Wine, in order.
BUILD_LINES = [
    re.compile(r"pipeline: gpu .+"),
    re.compile(re.escape("capture: initial duplication failed, will keep retrying")),
    re.compile(re.escape(
        "composer: D3D11 video interfaces unavailable "
        "(device needs D3D11_CREATE_DEVICE_VIDEO_SUPPORT)")),
    re.compile(re.escape("pipeline: build failed, retrying in 2s")),
]
LOG_LINE = re.compile(r"^\[ *(\d+\.\d{3})\] (.*)$")


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def run_record(exe, seconds, folder):
    """Runs one record into `folder`; returns (exit code, stdout, stderr, wall seconds, files left)."""
    settings = os.path.join(folder, "settings.json")
    with open(settings, "w", encoding="utf-8") as f:
        f.write('{"video": {"fps": 30}}\n')
    out = os.path.join(folder, "out.mp4")
    env = dict(os.environ, WINEDEBUG="-all")
    # Files rather than pipes: Wine ends a program whose output goes to pipes
    # seconds later, which would blur the time measured.
    with tempfile.TemporaryFile() as out_file, tempfile.TemporaryFile() as err_file:
        start = time.monotonic()
        result = subprocess.run(
            ["wine", exe, "record", str(seconds), windows_path(out), "--settings", windows_path(settings)],
            stdin=subprocess.DEVNULL, stdout=out_file, stderr=err_file, env=env, timeout=120)
        wall = time.monotonic() - start
        out_file.seek(0)
        err_file.seek(0)
        stdout = out_file.read().decode("utf-8", "replace")
        stderr = err_file.read().decode("utf-8", "replace")
    left = [name for name in (out, out + ".part") if os.path.exists(name)]
    return result.returncode, stdout, stderr, wall, left


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    exe = sys.argv[1]
    failures = []

    def check(condition, what):
        print(("ok   " if condition else "FAIL ") + what)
        if not condition:
            failures.append(what)

    with tempfile.TemporaryDirectory(prefix="kaptora-record-") as folder:
        code, _, stderr, short_wall, left = run_record(exe, SHORT_SECONDS, folder)
        check(code == 1 and not left and stderr.rstrip("\n").endswith("mp4: nothing to write\r"),
              "a %g s record ends with nothing to write (exit code %d, %.2f s)" % (SHORT_SECONDS, code, short_wall))

        code, stdout, stderr, wall, left = run_record(exe, SECONDS, folder)
        check(code == 1, "exit code 1 (got %d)" % code)
        check(not left, "no out.mp4 nor out.mp4.part (found %s)" % left)
        check("frames encoded    : 0 " in stdout, "statistics report no frame encoded")

        # Kaptora.exe writes in text mode: every line ends with CR LF.
        raw_lines = [line for line in stderr.split("\n") if line]
        check(bool(raw_lines) and all(line.endswith("\r") for line in raw_lines), "log lines end with CR LF")
        log = []
        for line in raw_lines:
            match = LOG_LINE.match(line.rstrip("\r"))
            if match:
                log.append((float(match.group(1)), match.group(2)))
        messages = [message for _, message in log]

        check(bool(log) and messages[-1] == "mp4: nothing to write", "\"mp4: nothing to write\" is the last line")
        # A build is tried at once and again 2 s after it failed, so a 3 s
        # record sees two failed builds, or only one when the first build was
        # slow to start (the retry then falls after the end time). Each fails
        # with the same lines.
        builds = messages[:-1]
        groups = len(builds) // len(BUILD_LINES)
        check(len(builds) % len(BUILD_LINES) == 0 and 1 <= groups <= 2,
              "one or two failed builds of %d lines each (got %d lines)" % (len(BUILD_LINES), len(builds)))
        for i, message in enumerate(builds):
            pattern = BUILD_LINES[i % len(BUILD_LINES)]
            check(pattern.fullmatch(message) is not None, "line %d: %s" % (i + 1, message))
        if groups == 2:
            retry = log[len(BUILD_LINES)][0] - log[len(BUILD_LINES) - 1][0]
            check(1.9 <= retry <= 2.9, "next build 2 s after the failure (%.3f s)" % retry)

        end = log[-1][0] if log else -1.0
        check(SECONDS - LOG_EARLY_SLACK <= end <= SECONDS + LOG_LATE_SLACK, "record ends at %.3f s of its log" % end)
        check(SECONDS <= wall <= SECONDS + WALL_SLACK, "wall time %.2f s" % wall)

        if failures:
            sys.stdout.write("--- standard error:\n" + stderr)
    print("record_check: %d failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
