#!/usr/bin/env python3
"""`Kaptora.exe export <job>` under Wine (run inside xvfb-run, WINEPREFIX set).

What Wine can show of the export: the job file and input failures with
their lines, exit codes and log, the same-file refusal through a second
name of the input, a real clip taken as far as Wine's Media Foundation and
D3D11 go, and that a parent keeping standard input open does not hold up
the end of the process. Wine has no D3D11 video device, so a real clip
never reaches an encoder; whichever documented failure it stops at, nothing
may be left next to the output.

Usage: export_check.py <path of Kaptora.exe>
"""
import glob
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

# Wine's start-up and shut-down around a failing export, with room for a
# loaded machine; a watcher that held up the exit would wait for the pipe's
# end, which this check never sends (the timeout below then fails it).
PROMPT_SECONDS = 20.0
TIMEOUT = 120


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def export_log_path():
    prefix = os.environ["WINEPREFIX"]
    found = glob.glob(os.path.join(prefix, "drive_c", "users", "*", "AppData", "Local", "Kaptora", "logs",
                                   "export.log"))
    return found[0] if found else None


def run_export(exe, job, stdin=subprocess.DEVNULL, feed=None):
    """One export; returns (exit code, stdout lines, export.log text of this run, wall seconds)."""
    log = export_log_path()
    if log:
        os.remove(log)
    env = dict(os.environ, WINEDEBUG="-all")
    # Output to files: Wine ends a program writing to pipes seconds late.
    with tempfile.TemporaryFile() as out_file, tempfile.TemporaryFile() as err_file:
        start = time.monotonic()
        process = subprocess.Popen(["wine", exe, "export", windows_path(job)], stdin=stdin, stdout=out_file,
                                   stderr=err_file, env=env)
        if feed is not None:
            process.stdin.write(feed)
            process.stdin.flush()  # and keep the pipe open
        try:
            code = process.wait(timeout=TIMEOUT)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            code = None  # still running: fails every exit-code check
        if process.stdin:
            process.stdin.close()
        wall = time.monotonic() - start
        out_file.seek(0)
        lines = out_file.read().decode("utf-8", "replace").replace("\r\n", "\n").splitlines()
    log = export_log_path()
    text = open(log, encoding="utf-8", errors="replace").read() if log else ""
    return code, lines, text, wall


def write_job(folder, name, job):
    path = os.path.join(folder, name)
    with open(path, "w", encoding="utf-8") as f:
        json.dump(job, f)
    return path


def make_clip(path):
    """A 2 s H.264/AAC MP4 from ffmpeg's test sources."""
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=320x240:rate=30:duration=2",
                    "-f", "lavfi", "-i", "sine=frequency=440:duration=2:sample_rate=48000",
                    "-c:v", "libx264", "-pix_fmt", "yuv420p", "-c:a", "aac", "-shortest", path], check=True)


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

    with tempfile.TemporaryDirectory(prefix="kaptora-export-") as folder:
        # A job file that does not exist.
        code, lines, log, _ = run_export(exe, os.path.join(folder, "missing.json"))
        check(code == 2, "missing job: exit code 2 (got %s)" % code)
        check(lines == ["error job"], "missing job: the only line is \"error job\" (got %r)" % lines)
        check("export: cannot open job file" in log, "missing job: the reason is in export.log")

        # An input that is no video.
        not_video = os.path.join(folder, "notes.mp4")
        with open(not_video, "w") as f:
            f.write("not a video\n" * 100)
        out = os.path.join(folder, "out.mp4")
        job = write_job(folder, "text.json", {"input": windows_path(not_video), "output": windows_path(out)})
        code, lines, log, _ = run_export(exe, job)
        check(code == 1, "text input: exit code 1 (got %s)" % code)
        check(lines[-1:] == ["error input"], "text input: last line \"error input\" (got %r)" % lines)
        check("export: cannot read the input as a video" in log, "text input: the reason is in export.log")
        check(not os.path.exists(out), "text input: no output")

        # The output is the input under a second name (a hard link).
        clip = os.path.join(folder, "clip.mp4")
        make_clip(clip)
        original = open(clip, "rb").read()
        alias = os.path.join(folder, "alias.mp4")
        os.link(clip, alias)
        job = write_job(folder, "same.json", {"input": windows_path(clip), "output": windows_path(alias)})
        code, lines, log, _ = run_export(exe, job)
        check(code == 1 and lines[-1:] == ["error input"], "same file: \"error input\", exit 1 (got %s, %r)" %
              (code, lines))
        check("export: output would overwrite the input" in log, "same file: the overwrite line is logged")
        check("export: cannot read the input" not in log, "same file: refused before the input is read")
        check(open(clip, "rb").read() == original, "same file: the input is untouched")
        os.remove(alias)

        # A real clip, as far as Wine's Media Foundation and D3D11 take it.
        job = write_job(folder, "clip.json", {"input": windows_path(clip), "output": windows_path(out),
                                              "keep": [{"start": 0.5, "end": 1.5}]})
        code, lines, log, baseline = run_export(exe, job)
        outcome = lines[-1] if lines else ""
        print("     real clip on Wine: %r, exit %s" % (outcome, code))
        print("     " + "\n     ".join(l for l in log.splitlines() if "export:" in l or "edit:" in l))
        unreadable = outcome == "error input" and "export: cannot read the input as a video" in log
        no_gpu = outcome == "error encoder" and ("edit: " in log or "export: no decoder for this video" in log)
        check(code == 1 and (unreadable or no_gpu),
              "real clip: \"error input\" (unreadable) or \"error encoder\" with its edit/decoder line")
        left = [name for name in os.listdir(folder) if name.startswith("out.mp4")]
        check(not left, "real clip: no output and no .video.tmp left (found %s)" % left)

        # A parent that asks for a cancel and keeps standard input open.
        code, lines, log, wall = run_export(exe, job, stdin=subprocess.PIPE, feed=b"cancel\n")
        check(code == 1 and lines and lines[-1].startswith("error "),
              "cancel on an open pipe: an error line, exit 1 (got %s, %r)" % (code, lines))
        check(wall <= baseline + PROMPT_SECONDS,
              "cancel on an open pipe: ends promptly (%.2f s, %.2f s without a pipe)" % (wall, baseline))
        left = [name for name in os.listdir(folder) if name.startswith("out.mp4")]
        check(not left, "cancel on an open pipe: nothing left (found %s)" % left)

    print("export_check: %d failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
