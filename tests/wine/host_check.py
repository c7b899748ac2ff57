#!/usr/bin/env python3
"""The engine host's Windows face under Wine (run inside xvfb-run).

What only Windows can show: the hidden window exists, the default hotkeys are
held by the engine (and one held by another process is reported), a change of
the settings file reloads, a second start makes the first one launch the
settings application, and the engine ends cleanly on `stop` and on a WM_QUIT
posted to its window. Also prints what Wine returns for Shell_NotifyIconW and
PlaySoundW (the tray icon itself cannot be observed from outside).

Usage: host_check.py <build folder of the windows preset>
"""
import glob
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

MOD_ALT = 0x1
VK_F9 = 0x78
VK_F10 = 0x79


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wait_for(predicate, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.1)
    return predicate()


class Host:
    def __init__(self, build, scratch):
        self.env = dict(os.environ, WINEDEBUG="-all")
        self.scratch = scratch
        self.probe = os.path.join(build, "tests", "host", "host_probe_win.exe")
        # A copy of the program beside the stand-in settings application.
        self.bin = os.path.join(scratch, "bin")
        os.makedirs(self.bin)
        self.exe = os.path.join(self.bin, "Kaptora.exe")
        shutil.copy(os.path.join(build, "Kaptora.exe"), self.exe)
        shutil.copy(os.path.join(build, "tests", "host", "fake_settings_app_win.exe"),
                    os.path.join(self.bin, "Kaptora.Settings.exe"))
        self.launched = os.path.join(self.bin, "launched.txt")
        os.makedirs(os.path.join(scratch, "cfg"))
        self.settings = os.path.join(scratch, "cfg", "settings.json")
        users = [u for u in glob.glob(os.path.join(self.env["WINEPREFIX"], "drive_c", "users", "*", "AppData", "Local"))
                 if "/Public/" not in u]
        self.log = os.path.join(users[0], "Kaptora", "logs", "engine.log")
        self.log_start = 0

    def run(self, args, timeout=60):
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            p = subprocess.run(["wine"] + args, env=self.env, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                               timeout=timeout)
            out.seek(0)
            return p.returncode, out.read().decode("utf-8", "replace")

    def start(self, args):
        err = open(os.path.join(self.scratch, "stderr-%d.txt" % time.monotonic_ns()), "wb")
        return subprocess.Popen(["wine"] + args, env=self.env, stdin=subprocess.DEVNULL, stdout=err, stderr=err)

    def start_engine(self):
        self.log_start = os.path.getsize(self.log) if os.path.exists(self.log) else 0
        return self.start([self.exe, "--settings", windows_path(self.settings)])

    def messages(self):
        """Log messages written since the last start_engine, without their time stamps."""
        try:
            with open(self.log, "rb") as f:
                f.seek(self.log_start)
                lines = f.read().decode("utf-8", "replace").splitlines()
        except FileNotFoundError:
            return []
        # "YYYY-MM-DD HH:MM:SS.mmm message"
        return [line.split(" ", 2)[2] for line in lines if line.count(" ") >= 2]

    def logged(self, message, timeout=20):
        return wait_for(lambda: message in self.messages(), timeout)


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    failures = []

    def check(condition, what):
        print(("ok   " if condition else "FAIL ") + what, flush=True)
        if not condition:
            failures.append(what)
        return condition

    scratch = tempfile.mkdtemp(prefix="kaptora-host-")
    engine = holder = None
    try:
        h = Host(sys.argv[1], scratch)
        started = "engine: starting (settings: %s)" % windows_path(h.settings)

        # Alt+F9 (the default toggle hotkey) is held by this test before the engine starts.
        marker = os.path.join(scratch, "holding")
        holder = h.start([h.probe, "hold", str(MOD_ALT), str(VK_F9), windows_path(marker)])
        check(wait_for(lambda: os.path.exists(marker), 30), "the probe holds Alt+F9")
        engine = h.start_engine()
        check(h.logged(started, 30), "engine starts")
        check(h.logged("hotkey: cannot register 'Alt+F9' (in use by another program)"),
              "a hotkey held by another process is logged")
        os.remove(marker)
        holder.wait(timeout=20)

        check(h.run([h.probe, "find"])[0] == 0, "FindWindowW finds the window of class KaptoraEngine")
        check(h.run([h.probe, "hotkey", str(MOD_ALT), str(VK_F10)])[0] == 1,
              "Alt+F10 is held by the engine: another process cannot register it")

        check(h.run([h.exe, "save"])[0] == 0, "save reaches the engine")
        check(h.logged("save: buffer is still empty"), "the engine answers save")

        # An edit of the settings file reloads through the folder watch.
        with open(h.settings, encoding="utf-8") as f:
            document = json.load(f)
        document["notifications"]["sound"] = not document["notifications"]["sound"]
        with open(h.settings, "w", encoding="utf-8") as f:
            json.dump(document, f)
        check(h.logged("settings: reloaded"), "a changed settings file reloads")

        # A second start signals the first, which launches the settings application.
        check(h.run([h.exe, "--settings", windows_path(h.settings)])[0] == 0, "a second start exits with 0")
        expected = '--settings "%s"' % windows_path(h.settings)
        check(wait_for(lambda: os.path.exists(h.launched) and expected in open(h.launched).read().splitlines(), 20),
              "the running engine launches Kaptora.Settings.exe " + expected)

        # WM_QUIT posted to the window ends the loop as the tray's Exit does.
        check(h.run([h.probe, "quit"])[0] == 0, "WM_QUIT posted to the engine window")
        check(engine.wait(timeout=30) == 0, "engine exit code 0 after WM_QUIT")
        check(h.messages().count("engine: exiting") == 1, "engine: exiting after WM_QUIT")
        check(h.run([h.probe, "hotkey", str(MOD_ALT), str(VK_F10)])[0] == 0, "the engine's hotkey is free after exit")
        check(h.run([h.probe, "find"])[0] == 1, "the window is gone after exit")

        engine = h.start_engine()
        check(h.logged(started, 30), "engine starts again")
        check(h.run([h.exe, "stop"])[0] == 0, "stop reaches the engine")
        check(engine.wait(timeout=30) == 0, "engine exit code 0 after stop")
        check(h.messages().count("engine: exiting") == 1, "engine: exiting after stop")

        # Not checked: what Wine's shell and sound do with these calls.
        print("info " + h.run([h.probe, "shell", windows_path(h.exe)])[1].strip().replace("\n", "; "))
    finally:
        for p in (engine, holder):
            if p is not None and p.poll() is None:
                p.kill()
                p.wait()
        shutil.rmtree(scratch, ignore_errors=True)

    print("%d failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
