#!/usr/bin/env python3
"""The real Kaptora.exe under Wine (run by run_wine_tests.sh: xvfb-run, WINEPREFIX set).

Usage: exe_check.py record|export|host|no-mf <build folder of the windows preset>

record  Wine has a display adapter and a D3D11 device but no D3D11 video device
        and no desktop duplication: every build of the video chain fails with
        the line of each edge it reaches, the pipeline retries every 2 s, and
        `record 3` still ends at its end time with nothing to write (exit 1, no
        output file, not even a partial one).
export  an input Media Foundation cannot read, the same-file refusal through a
        hard link (the Windows file identity; inputs named like the files
        written beside the output are the Linux test's), a real clip taken as far as Wine goes (never to an encoder) with
        nothing left beside the output, and a parent that keeps standard
        input open does not hold up the end.
no-mf   with Media Foundation missing (as on Windows N editions) the engine still
        starts, says so once in its log, and ends on `Kaptora stop`; an export
        of a real clip fails as for an unreadable input.
host    the application manifest compiled into the exe, the hidden window,
        hotkeys held by the engine (one held by another process is reported),
        a changed settings file reloads, a second start makes the first launch
        the settings application, save-finished and update messages posted by
        another process (0, a made-up pointer) are ignored while `save` and
        `stop` are still served, and WM_CLOSE (taskkill without /F) ends a
        second engine as the tray's Exit does.
"""
import xml.etree.ElementTree as ElementTree
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        failures.append(what)
    return condition


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wait_for(predicate, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and not predicate():
        time.sleep(0.1)
    return predicate()


def log_path(name):
    """A log of the Wine user's Kaptora folder (it may not exist yet)."""
    local = [u for u in glob.glob(os.path.join(os.environ["WINEPREFIX"], "drive_c", "users", "*", "AppData", "Local"))
             if "/Public/" not in u]
    return os.path.join(local[0], "Kaptora", "logs", name)


def log_messages(log_file, start):
    """A log's messages from byte `start` on, without their time stamps."""
    if not os.path.exists(log_file):
        return []
    with open(log_file, "rb") as f:
        f.seek(start)
        lines = f.read().decode("utf-8", "replace").splitlines()
    return [line.split(" ", 2)[2] for line in lines if line.count(" ") >= 2]


def engine_messages():
    """A function giving engine.log's messages written since this call."""
    log_file = log_path("engine.log")
    start = os.path.getsize(log_file) if os.path.exists(log_file) else 0
    return lambda: log_messages(log_file, start)


def start(args, env=None):
    """`wine args` in the background, its output discarded."""
    return subprocess.Popen(["wine"] + args, env=dict(os.environ, WINEDEBUG="-all", **(env or {})),
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def run(args, stdin=subprocess.DEVNULL, feed=None, timeout=120, env=None):
    """`wine args`: (exit code, None after a timeout; stdout; stderr; wall seconds).
    Output goes to files: Wine ends a program that writes to pipes seconds late."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        start = time.monotonic()
        process = subprocess.Popen(["wine"] + args, stdin=stdin, stdout=out, stderr=err,
                                   env=dict(os.environ, WINEDEBUG="-all", **(env or {})))
        if feed is not None:
            process.stdin.write(feed)
            process.stdin.flush()  # and keep the pipe open
        try:
            code = process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            code = None
        if process.stdin:
            process.stdin.close()
        wall = time.monotonic() - start
        out.seek(0)
        err.seek(0)
        return code, out.read().decode("utf-8", "replace"), err.read().decode("utf-8", "replace"), wall


# One failed build on Wine, in order: Wine's duplication is not implemented,
# neither DuplicateOutput1 nor the DuplicateOutput it falls back to; the
# second failure's line is the first's again, so the attempt counts it.
DUPLICATION_FAILED = "capture: duplication failed (hr=0x80004001)"
BUILD_LINES = [re.compile(r"pipeline: gpu .+")] + [re.compile(re.escape(line)) for line in (
    DUPLICATION_FAILED,
    "capture: initial duplication failed, will keep retrying",
    "composer: D3D11 video interfaces unavailable (device needs D3D11_CREATE_DEVICE_VIDEO_SUPPORT)",
    "pipeline: build failed, retrying in 2s")]


def check_record(build, folder):
    settings = os.path.join(folder, "settings.json")
    with open(settings, "w", encoding="utf-8") as f:
        f.write('{"video": {"fps": 30}}\n')
    out = os.path.join(folder, "out.mp4")
    code, stdout, stderr, _ = run([os.path.join(build, "Kaptora.exe"), "record", "3", windows_path(out), "--settings",
                                   windows_path(settings)])
    left = [name for name in (out, out + ".part", out + ".video.tmp") if os.path.exists(name)]
    check(code == 1, "exit code 1 (got %s)" % code)
    check(not left, "no out.mp4, out.mp4.part nor out.mp4.video.tmp (found %s)" % left)
    check("frames encoded    : 0 " in stdout, "statistics report no frame encoded")
    raw = [line for line in stderr.split("\n") if line]
    check(bool(raw) and all(line.endswith("\r") for line in raw), "log lines end with CR LF (text mode)")
    messages = [m.group(1) for m in (re.match(r"^\[ *\d+\.\d{3}\] (.*)$", line.rstrip("\r")) for line in raw) if m]
    check(messages[-1:] == ["mp4: nothing to write"], "\"mp4: nothing to write\" is the last line")
    # The build is retried every 2 s: one or two failed builds in 3 s. What
    # was counted is written with its count at the end: the fallback's
    # duplication line of each build, and every line of a second build.
    first, rest = messages[:len(BUILD_LINES)], messages[len(BUILD_LINES):-1]
    check(len(first) == len(BUILD_LINES) and all(p.fullmatch(m) for p, m in zip(BUILD_LINES, first)),
          "one failed build's lines first: %r" % first)
    counted = "%s (repeated %d times in the last 1 min)"
    one_build = [counted % (DUPLICATION_FAILED, 1)]
    two_builds = [counted % (m, 3 if m == DUPLICATION_FAILED else 1) for m in first]
    check(rest in (one_build, two_builds), "then the counted lines, each once with its count: %r" % rest)
    if failures:
        sys.stdout.write("--- standard error:\n" + stderr)


def export(build, input_path, output, keep=None, stdin=subprocess.DEVNULL, feed=None, env=None):
    """`Kaptora.exe export` of a job beside the output: (exit code, output
    lines, export.log's text, wall seconds)."""
    log_file = log_path("export.log")
    if os.path.exists(log_file):
        os.remove(log_file)
    job = os.path.join(os.path.dirname(output), "job.json")
    document = {"input": windows_path(input_path), "output": windows_path(output)}
    if keep:
        document["keep"] = keep
    with open(job, "w", encoding="utf-8") as f:
        json.dump(document, f)
    code, stdout, _, wall = run([os.path.join(build, "Kaptora.exe"), "export", windows_path(job)], stdin, feed,
                                env=env)
    log = open(log_file, encoding="utf-8", errors="replace").read() if os.path.exists(log_file) else ""
    return code, stdout.replace("\r\n", "\n").splitlines(), log, wall


def check_export(build, folder):
    out = os.path.join(folder, "out.mp4")

    def left():
        return [name for name in os.listdir(folder) if name.startswith("out.mp4")]

    not_video = os.path.join(folder, "notes.mp4")
    with open(not_video, "w") as f:
        f.write("not a video\n" * 100)
    code, lines, log, _ = export(build, not_video, out)
    check(code == 1 and lines[-1:] == ["error input"], "text input: \"error input\", exit 1 (got %s, %r)" % (code, lines))
    check("export: cannot read the input as a video" in log, "text input: the reason is in export.log")
    check(not left(), "text input: no output")

    clip = os.path.join(folder, "clip.mp4")
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=320x240:rate=30:duration=2",
                    "-f", "lavfi", "-i", "sine=frequency=440:duration=2:sample_rate=48000", "-c:v", "libx264",
                    "-pix_fmt", "yuv420p", "-c:a", "aac", "-shortest", clip], check=True)
    original = open(clip, "rb").read()
    alias = os.path.join(folder, "alias.mp4")
    os.link(clip, alias)
    code, lines, log, _ = export(build, clip, alias)
    check(code == 1 and lines[-1:] == ["error input"], "same file: \"error input\", exit 1 (got %s, %r)" % (code, lines))
    check("export: output would overwrite the input" in log and "export: cannot read the input" not in log,
          "same file: the overwrite line is logged, before the input is read")
    check(open(clip, "rb").read() == original, "same file: the input is untouched")
    os.remove(alias)

    keep = [{"start": 0.5, "end": 1.5}]
    code, lines, log, baseline = export(build, clip, out, keep)
    outcome = lines[-1] if lines else ""
    print("     real clip on Wine: %r, exit %s\n     %s" % (outcome, code, "\n     ".join(
        line for line in log.splitlines() if "export:" in line or "edit:" in line)))
    unreadable = outcome == "error input" and "export: cannot read the input as a video" in log
    no_gpu = outcome == "error encoder" and ("edit: " in log or "export: no decoder for this video" in log)
    check(code == 1 and (unreadable or no_gpu),
          "real clip: \"error input\" (unreadable) or \"error encoder\" with its edit/decoder line")
    check(not left(), "real clip: no output and no .video.tmp left (found %s)" % left())

    # A parent that asks for a cancel and keeps standard input open: a
    # watcher that held up the exit would wait for the pipe's end.
    code, lines, log, wall = export(build, clip, out, keep, stdin=subprocess.PIPE, feed=b"cancel\n")
    check(code == 1 and bool(lines) and lines[-1].startswith("error "),
          "cancel on an open pipe: an error line, exit 1 (got %s, %r)" % (code, lines))
    check(wall <= baseline + 20, "cancel on an open pipe: ends promptly (%.2f s, %.2f s without)" % (wall, baseline))
    check(not left(), "cancel on an open pipe: nothing left (found %s)" % left())


def check_manifest(probe, exe):
    code, text, _, _ = run([probe, "manifest", windows_path(exe)], timeout=60)
    if not check(code == 0, "Kaptora.exe has a manifest resource (1 of type 24)"):
        return
    found = {e.tag.split("}")[-1]: e for e in ElementTree.fromstring(text.encode("utf-8")).iter()}
    for tag, attribute, value in (("supportedOS", "Id", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"),  # Windows 10 and 11
                                  ("dpiAwareness", None, "PerMonitorV2"), ("longPathAware", None, "true"),
                                  ("requestedExecutionLevel", "level", "asInvoker"),
                                  ("assemblyIdentity", "name", "Microsoft.Windows.Common-Controls"),
                                  ("assemblyIdentity", "version", "6.0.0.0")):
        element = found.get(tag)
        got = None if element is None else (element.text if attribute is None else element.get(attribute))
        check(got == value, "manifest: %s %s (got %s)" % (tag, value, got))


def check_host(build, folder):
    probe = os.path.join(build, "tests", "host", "host_probe_win.exe")
    check_manifest(probe, os.path.join(build, "Kaptora.exe"))
    alt, f9, f10 = "1", "0x78", "0x79"
    # A copy of the program beside the stand-in settings application.
    exe = os.path.join(folder, "Kaptora.exe")
    shutil.copy(os.path.join(build, "Kaptora.exe"), exe)
    shutil.copy(probe, os.path.join(folder, "Kaptora.Settings.exe"))
    launched = os.path.join(folder, "launched.txt")
    settings = os.path.join(folder, "cfg", "settings.json")
    os.makedirs(os.path.dirname(settings))
    messages = engine_messages()

    def logged(message, timeout=20):
        return wait_for(lambda: message in messages(), timeout)

    def code(args):
        return run(args, timeout=60)[0]

    def ended(process, timeout=30):
        """The exit code, None when it still runs after `timeout` (the test goes on)."""
        try:
            return process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    engine = holder = None
    try:
        # Alt+F9 (the default toggle hotkey) is held by this test before the engine starts.
        marker = os.path.join(folder, "holding")
        holder = start([probe, "hotkey", alt, f9, windows_path(marker)])
        check(wait_for(lambda: os.path.exists(marker), 30), "the probe holds Alt+F9")
        engine = start([exe, "--settings", windows_path(settings)])
        check(logged("engine: starting (settings: %s)" % windows_path(settings), 30), "engine starts")
        check(logged("hotkey: cannot register 'Alt+F9' (in use by another program)"),
              "a hotkey held by another process is logged")
        os.remove(marker)
        holder.wait(timeout=20)
        check(code([probe, "find"]) == 0, "FindWindowW finds the window of class KaptoraEngine")
        check(code([probe, "hotkey", alt, f10]) == 1, "Alt+F10 is held by the engine")

        with open(settings, encoding="utf-8") as f:
            document = json.load(f)
        document["notifications"]["sound"] = not document["notifications"]["sound"]
        with open(settings, "w", encoding="utf-8") as f:
            json.dump(document, f)
        check(logged("settings: reloaded"), "a changed settings file reloads through the folder watch")

        check(code([exe, "--settings", windows_path(settings)]) == 0, "a second start exits with 0")
        expected = '--settings "%s"' % windows_path(settings)
        check(wait_for(lambda: os.path.exists(launched) and expected in open(launched).read().splitlines(), 20),
              "the running engine launches Kaptora.Settings.exe " + expected)

        # Save-finished and update-available posted by another program: a
        # window that trusted their lParam would crash or free a stranger's
        # memory.
        for message in ("0x8002", "0x8003"):
            for lparam in ("0", "0x7ffe12345670"):
                check(code([probe, "post", message, lparam]) == 0, "foreign post %s, lParam %s" % (message, lparam))
        check(code([exe, "save"]) == 0 and logged("save: buffer is still empty"),
              "after the foreign posts `save` is served")
        check(code([exe, "stop"]) == 0 and ended(engine) == 0, "and `stop` ends the engine with 0")
        check(messages().count("engine: exiting") == 1, "engine: exiting once")

        exited = len(messages())
        engine = start([exe, "--settings", windows_path(settings)])
        check(wait_for(lambda: "engine: starting (settings: %s)" % windows_path(settings) in messages()[exited:], 30)
              and wait_for(lambda: code([probe, "find"]) == 0, 20), "a second engine starts")
        check(code([probe, "post", "0x0010", "0"]) == 0, "WM_CLOSE posted to the engine window")
        check(ended(engine) == 0, "engine exit code 0 after WM_CLOSE")
        check(messages()[exited:].count("engine: exiting") == 1, "engine: exiting after WM_CLOSE")
        check(code([probe, "hotkey", alt, f10]) == 0, "the engine's hotkey is free after exit")
        check(code([probe, "find"]) == 1, "the window is gone after exit")
    finally:
        for p in (engine, holder):
            if p is not None and p.poll() is None:
                p.kill()
                p.wait()


def check_no_mf(build, folder):
    exe = os.path.join(build, "Kaptora.exe")
    settings = os.path.join(folder, "settings.json")
    messages = engine_messages()
    missing = {"WINEDLLOVERRIDES": "mfplat,mfreadwrite="}  # both disabled for these processes
    line = "mf: Media Foundation is not installed (Windows N edition?) \u2014 install the Media Feature Pack"
    engine = start([exe, "--settings", windows_path(settings)], missing)
    try:
        check(wait_for(lambda: "engine: starting (settings: %s)" % windows_path(settings) in messages(), 30),
              "engine starts without Media Foundation")
        check(wait_for(lambda: line in messages(), 20), "the missing Media Foundation is logged")
        check(run([exe, "stop"], timeout=60, env=missing)[0] == 0, "`Kaptora stop` finds the engine")
        check(engine.wait(timeout=30) == 0, "engine exit code 0 after stop")
        check(messages().count(line) == 1, "logged once (got %d)" % messages().count(line))
        check(messages().count("engine: exiting") == 1, "engine: exiting after stop")
    finally:
        if engine.poll() is None:
            engine.kill()
            engine.wait()

    # An export fails as for an input it cannot read, even a real clip.
    clip = os.path.join(folder, "clip.mp4")
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=64x64:rate=10:duration=1",
                    "-c:v", "libx264", "-pix_fmt", "yuv420p", clip], check=True)
    code, lines, _, _ = export(build, clip, os.path.join(folder, "out.mp4"), env=missing)
    check(code == 1 and lines[-1:] == ["error input"], "export: \"error input\", exit 1 (got %s, %r)" % (code, lines))
    logged = log_messages(log_path("export.log"), 0)
    reason = "export: cannot read the input as a video"
    check(line in logged and reason in logged and logged.index(line) < logged.index(reason),
          "export.log: the missing Media Foundation, then the unreadable input (got %r)" % logged)
    if failures:
        sys.stdout.write("--- engine.log:\n" + "\n".join(messages()) + "\n")


def main():
    parts = {"record": check_record, "export": check_export, "host": check_host, "no-mf": check_no_mf}
    if len(sys.argv) != 3 or sys.argv[1] not in parts:
        print(__doc__)
        return 2
    with tempfile.TemporaryDirectory(prefix="kaptora-%s-" % sys.argv[1]) as folder:
        parts[sys.argv[1]](sys.argv[2], folder)
    print("%s: %d failed" % (sys.argv[1], len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
