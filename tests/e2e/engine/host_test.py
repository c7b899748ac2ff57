#!/usr/bin/env python3
"""The engine host on Linux as a user drives it, judged by its log: the
console shell writes "tray:", "notification: <title> | <text>" and
"launch: <program> <parameters>" lines.

1. With a settings application beside the executable: `kaptora settings`
   launches it with --settings and the quoted settings path; `kaptora save`
   ends in the "Clip saved" notification with the clip's length as M:SS and
   its file name; rewriting the settings file reloads by itself, once, with
   the restart that change implies.
2. With an unreadable settings file: the defaults stay in force, the file is
   left as it was, the start-up notification carries the loader's error
   text, and `kaptora settings` falls back to Notepad on the settings file.

usage: host_test.py <kaptora> <work-folder>
"""
import json
import os
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from engine_test import fail, wait_for  # noqa: E402


class Engine:
    def __init__(self, kaptora, work, settings_text, settings_app):
        shutil.rmtree(work, ignore_errors=True)
        os.makedirs(os.path.join(work, "bin"))
        self.kaptora = os.path.join(work, "bin", "kaptora")
        shutil.copy(kaptora, self.kaptora)
        if settings_app:
            open(os.path.join(work, "bin", "Kaptora.Settings.exe"), "w").close()
        self.env = dict(os.environ)
        self.env.update({"HOME": work, "XDG_CONFIG_HOME": os.path.join(work, "config"),
                         "XDG_STATE_HOME": os.path.join(work, "state"), "XDG_RUNTIME_DIR": os.path.join(work, "run")})
        os.makedirs(self.env["XDG_RUNTIME_DIR"], mode=0o700)
        os.makedirs(os.path.join(work, "settings"))
        self.settings = os.path.join(work, "settings", "settings.json")
        with open(self.settings, "w") as f:
            f.write(settings_text)
        self.log_path = os.path.join(work, "state", "Kaptora", "logs", "engine.log")
        self.process = subprocess.Popen([self.kaptora, "--settings", self.settings], env=self.env,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def lines(self):
        try:
            with open(self.log_path, encoding="utf-8") as f:
                return [line.rstrip("\r\n")[24:] for line in f]
        except FileNotFoundError:
            return []

    def matching(self, pattern):
        return [m for m in (re.fullmatch(pattern, line) for line in self.lines()) if m]

    def command(self, word):
        if subprocess.run([self.kaptora, word], env=self.env).returncode != 0:
            fail("kaptora %s exited non-zero" % word)

    def stop(self):
        self.command("stop")
        if self.process.wait(timeout=30) != 0:
            fail("engine exit code %d" % self.process.returncode)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()


def settings_app_save_and_reload(kaptora, work):
    clips = os.path.join(work, "clips")
    settings = {"replay": {"bufferSeconds": 10, "folder": clips}, "video": {"resolution": "720p", "fps": 15},
                "general": {"language": "en"}}
    engine = Engine(kaptora, work, json.dumps(settings), settings_app=True)
    try:
        wait_for(lambda: engine.matching(r"engine: starting capture.*"), 10, "the capture to start")
        engine.command("settings")
        expected = 'launch: %s --settings "%s"' % (os.path.join(work, "bin", "Kaptora.Settings.exe"), engine.settings)
        wait_for(lambda: expected in engine.lines(), 10, "the settings application launch")

        time.sleep(2.5)
        engine.command("save")
        wait_for(lambda: engine.matching(r"notification: Clip saved \| .*"), 15, "the save notification")
        note = engine.matching(r"notification: Clip saved \| (\d+):(\d\d) · (Kaptora_[-_\d]+\.mp4)")
        summary = engine.matching(r"save: (\d+\.\d)s clip from .* → (.*)")
        if len(note) != 1 or len(summary) != 1:
            fail("save lines: %r %r" % (note, summary))
        minutes, seconds, name = int(note[0].group(1)), int(note[0].group(2)), note[0].group(3)
        if os.path.basename(summary[0].group(2)) != name or not os.path.exists(os.path.join(clips, name)):
            fail("notification names %s, the summary %s" % (name, summary[0].group(2)))
        if abs(minutes * 60 + seconds - float(summary[0].group(1))) > 0.6:
            fail("notification length %d:%02d for a %ss clip" % (minutes, seconds, summary[0].group(1)))

        starts = len(engine.matching(r"engine: starting capture.*"))
        settings["video"]["fps"] = 10
        with open(engine.settings, "w") as f:  # written in two steps, as editors do
            f.write(json.dumps(settings)[:20])
            f.flush()
            time.sleep(0.05)
            f.write(json.dumps(settings)[20:])
        wait_for(lambda: len(engine.matching(r"engine: starting capture.*10 fps.*")) == 1, 10, "the restart")
        time.sleep(1.0)
        # The half-written file is never read: one reload, no failure.
        if [m.group(0) for m in engine.matching(r"settings: .*")] != ["settings: reloaded"]:
            fail("expected one reload: %r" % [m.group(0) for m in engine.matching(r"settings: .*")])
        if len(engine.matching(r"engine: video settings changed — restarting capture \(buffer kept\)")) != 1 or \
                len(engine.matching(r"engine: starting capture.*")) != starts + 1:
            fail("restart lines: %r" % [l for l in engine.lines() if l.startswith("engine: ")])
        engine.stop()
    finally:
        engine.kill()
    if [m.group(0) for m in engine.matching(r"tray: .*")][:1] != ["tray: recording"]:
        fail("tray lines: %r" % engine.matching(r"tray: .*"))
    print("ok: settings launch, save notification %d:%02d %s, one reload" % (minutes, seconds, name))


def unreadable_settings(kaptora, work):
    text = '{ "replay": { "bufferSeconds": 10, '
    engine = Engine(kaptora, work, text, settings_app=False)
    try:
        wait_for(lambda: engine.matching(r"notification: .*"), 10, "the start-up notification")
        logged = engine.matching(r"settings: (.*) — using defaults")
        shown = engine.matching(r"notification: 설정 파일을 읽지 못했어요 \| (.*)")
        if len(logged) != 1 or len(shown) != 1 or shown[0].group(1) != logged[0].group(1):
            fail("loader error: logged %r, shown %r" % (logged, [l for l in engine.lines() if "notification" in l]))
        if not engine.matching(r"engine: starting capture.*window 300s"):
            fail("defaults not in force: %r" % engine.matching(r"engine: starting capture.*"))
        engine.command("settings")
        expected = 'launch: notepad.exe "%s"' % engine.settings
        wait_for(lambda: expected in engine.lines(), 10, "the Notepad fallback")
        engine.stop()
    finally:
        engine.kill()
    with open(engine.settings) as f:
        if f.read() != text:
            fail("the unreadable settings file was rewritten")
    print("ok: unreadable settings kept, notified: %s" % shown[0].group(1))


def main():
    kaptora, work = sys.argv[1:3]
    settings_app_save_and_reload(kaptora, os.path.join(work, "app"))
    unreadable_settings(kaptora, os.path.join(work, "unreadable"))
    print("engine host e2e: passed")


if __name__ == "__main__":
    main()
