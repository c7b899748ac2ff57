#!/usr/bin/env python3
"""`kaptora export` as a process: exit codes, the protocol lines on standard
output and the reasons in export.log.

- a missing job file prints exactly "error job" and exits with 2;
- a job whose output is its input through another path (a symbolic link to
  the folder) exits with 1 and "error input", nothing being written;
- every line of any run is one of "progress %.4f", "done", "error <word>",
  and a run ends with exactly one "done" or "error" line.

usage: export_command_test.py <kaptora> <work folder>
"""
import json
import os
import re
import shutil
import subprocess
import sys

failures = []
LINE = re.compile(r"^(progress [01]\.\d{4}|done|error (ok|canceled|input|encoder|failed|write|job))$")


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAILED:", what)


def main():
    kaptora, work = sys.argv[1], sys.argv[2]
    shutil.rmtree(work, ignore_errors=True)
    home = os.path.join(work, "home")
    os.makedirs(home)
    env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, "config"),
               XDG_STATE_HOME=os.path.join(home, "state"))
    log_path = os.path.join(home, "state", "Kaptora", "logs", "export.log")

    def export(job_path, stdin=subprocess.DEVNULL):
        run = subprocess.run([kaptora, "export", job_path], env=env, stdin=stdin, capture_output=True,
                             timeout=30)
        print(run.stdout.decode(), run.stderr.decode())
        return run.returncode, run.stdout.decode()

    def log_text():
        with open(log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def well_formed(stdout):
        lines = stdout.split("\n")
        check(lines[-1] == "", "output ends with a line feed")
        lines = lines[:-1]
        check(all(LINE.match(l) for l in lines), "every line is a protocol line: %r" % lines)
        check(sum(1 for l in lines if l == "done" or l.startswith("error")) == 1 and
              (lines[-1] == "done" or lines[-1].startswith("error")), "one final line, last")

    code, out = export(os.path.join(work, "missing.json"))
    check(code == 2, "missing job exits 2, got %d" % code)
    check(out == "error job\n", "missing job prints exactly 'error job', got %r" % out)
    check("export: cannot open job file" in log_text(), "reason in export.log")

    clips = os.path.join(work, "clips")
    os.makedirs(clips)
    os.symlink(clips, os.path.join(work, "alias"))
    source = os.path.join(clips, "clip.mp4")
    with open(source, "wb") as f:
        f.write(b"\0\0\0\x08free")
    job = os.path.join(work, "same.json")
    with open(job, "w") as f:
        json.dump({"input": source, "output": os.path.join(work, "alias", "clip.mp4")}, f)
    code, out = export(job)
    check(code == 1, "same file exits 1, got %d" % code)
    check(out == "error input\n", "same file prints 'error input', got %r" % out)
    well_formed(out)
    check("export: output would overwrite the input" in log_text(), "same-file reason in export.log")
    with open(source, "rb") as f:
        check(f.read() == b"\0\0\0\x08free", "input untouched")

    # Another output, with a parent that writes lines that are not a cancel
    # and then closes standard input: the run ends on its own terms.
    with open(job, "w") as f:
        json.dump({"input": source, "output": os.path.join(work, "out.mp4"), "keep": [{"start": 0, "end": 1}]}, f)
    run = subprocess.Popen([kaptora, "export", job], env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE)
    out, err = run.communicate(b"please cancel\n", timeout=30)
    print(out.decode(), err.decode())
    check(run.returncode in (0, 1), "exit code 0 or 1, got %d" % run.returncode)
    well_formed(out.decode())
    check(not out.decode().endswith("error canceled\n"), "'please cancel' does not cancel")
    check(not os.path.exists(os.path.join(work, "out.mp4.video.tmp")), "no scratch file left")

    print("failures:", len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
