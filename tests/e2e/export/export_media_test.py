#!/usr/bin/env python3
"""`kaptora export` as a process on clips made by ffmpeg (H.264 with B-frames,
AAC 44.1 kHz mono, a flat background with one box; untagged BT.601, tagged
BT.709) and by the engine, judged by ffprobe and ffmpeg. Every run prints only
non-decreasing "progress %.4f" lines, then one "done" or "error <word>" line.

usage: export_media_test.py <kaptora> <work folder>
"""
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import time
import zlib

failures = []
W, H = 160, 120
BACKGROUND = (32, 64, 160)
BOX = (224, 192, 32)
BOX_AT = (96, 16, 48, 40)  # x, y, width, height


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAILED:", what)
    return ok


def near(a, b):
    return all(abs(x - y) <= 4 for x, y in zip(a, b))


def run(cmd):
    return subprocess.run(cmd, capture_output=True, check=True).stdout


def make_source(path, seconds, tagged=False, size=(W, H)):
    box = "drawbox=x=%d:y=%d:w=%d:h=%d:color=0x%02x%02x%02x:t=fill" % (BOX_AT + BOX)
    matrix = ",scale=out_color_matrix=bt709:out_range=tv" if tagged else ""
    video = "color=c=0x%02x%02x%02x:s=%dx%d:r=30:d=%d,format=rgb24,%s%s,format=yuv420p" % (
        BACKGROUND + size + (seconds, box, matrix))
    tags = ["-colorspace", "bt709", "-color_primaries", "bt709", "-color_trc", "bt709"] if tagged else []
    run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", video, "-f", "lavfi", "-i",
         "sine=frequency=440:sample_rate=44100:duration=%d" % seconds, "-c:v", "libx264", "-preset", "ultrafast",
         "-qp", "0"] + tags + ["-c:a", "aac", "-ac", "1", "-b:a", "96k", path])


def write_png(path, width, height, pixel):
    """RGBA PNG; pixel(x, y) gives (r, g, b, a)."""
    rows = b"".join(b"\0" + bytes(c for x in range(width) for c in pixel(x, y)) for y in range(height))
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)) +
                chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def streams(path, kind):
    found = json.loads(run(["ffprobe", "-v", "error", "-show_streams", "-count_frames", "-of", "json", path]))
    return [s for s in found["streams"] if s["codec_type"] == kind]


def rgb_frames(path, width, height):
    """Decoded pictures as functions of (x, y) giving (r, g, b)."""
    raw = run(["ffmpeg", "-v", "error", "-i", path, "-map", "0:v", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"])
    size = width * height * 3
    return [lambda x, y, at=i: tuple(raw[at + (y * width + x) * 3:at + (y * width + x) * 3 + 3])
            for i in range(0, len(raw) - size + 1, size)]


class Kaptora:
    def __init__(self, binary, work):
        self.binary, self.work = binary, work
        home = os.path.join(work, "home")
        self.env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, "config"),
                        XDG_STATE_HOME=os.path.join(home, "state"), XDG_RUNTIME_DIR=os.path.join(home, "run"))
        os.makedirs(self.env["XDG_RUNTIME_DIR"], mode=0o700)
        self.log = os.path.join(home, "state", "Kaptora", "logs", "export.log")

    def job(self, name, **fields):
        path = os.path.join(self.work, name + ".json")
        with open(path, "w") as f:
            json.dump(fields, f)
        return path

    def export(self, name, final="done", code=0, job=None, **fields):
        out = subprocess.run([self.binary, "export", job or self.job(name, **fields)], env=self.env,
                             stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)
        return self.judge(name, out.returncode, out.stdout, final, code) or print(out.stderr[-2000:])

    def judge(self, name, got_code, stdout, final, code):
        lines = stdout.split("\n")
        values = [float(l[9:]) for l in lines[:-2] if re.fullmatch(r"progress [01]\.\d{4}", l)]
        return check(got_code == code and len(lines) > 1 and lines[-1] == "" and lines[-2] == final and len(values) == len(lines) - 2
                     and values == sorted(values), "%s: exit %d, %r" % (name, got_code, lines[-4:]))

    def logged(self, text):
        with open(self.log, "rb") as f:
            return check(text in f.read().decode("utf-8", "replace"), "export.log has %r" % text)


def job_errors(kaptora):
    kaptora.export("missing", "error job", 2, job=os.path.join(kaptora.work, "missing.json"))
    kaptora.logged("export: cannot open job file")
    junk = os.path.join(kaptora.work, "junk.mp4")
    with open(junk, "wb") as f:
        f.write(b"\0\0\0\x08free")
    kaptora.export("junk", "error input", 1, input=junk, output=os.path.join(kaptora.work, "junk-out.mp4"))
    kaptora.logged("export: cannot read the input as a video")


def whole_engine_clip(kaptora):
    settings, clips = os.path.join(kaptora.work, "settings.json"), os.path.join(kaptora.work, "clips")
    with open(settings, "w") as f:
        json.dump({"replay": {"bufferSeconds": 10, "folder": clips}, "video": {"resolution": "720p", "fps": 10},
                   "audio": {"microphone": {"enabled": True}, "tracks": "mixed+separate"}}, f)
    engine = subprocess.Popen([kaptora.binary, "--settings", settings], env=kaptora.env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        time.sleep(4)
        subprocess.run([kaptora.binary, "save"], env=kaptora.env, check=True)
        subprocess.run([kaptora.binary, "stop"], env=kaptora.env, check=True)
        engine.wait(timeout=30)
    finally:
        if engine.poll() is None:
            engine.kill()
    files = os.listdir(clips) if os.path.isdir(clips) else []
    out = os.path.join(kaptora.work, "whole.mp4")
    if not check(len(files) == 1, "engine saved one clip: %r" % files) or \
            not kaptora.export("whole", input=(source := os.path.join(clips, files[0])), output=out):
        return
    names = lambda path: [s.get("tags", {}).get("handler_name") for s in streams(path, "audio")]
    # Listed in file order, which the engine writes last track first.
    check(names(out) == ["Microphone", "Desktop Audio", "Desktop + Microphone"] == names(source),
          "track names and order %r, source %r" % (names(out), names(source)))
    v_src, v_dst = streams(source, "video")[0], streams(out, "video")[0]
    check((v_dst["nb_read_frames"], v_dst["width"], v_dst["height"]) ==
          (v_src["nb_read_frames"], v_src["width"], v_src["height"]), "every picture kept at its size")
    # Through RGB and back the pictures change by rounding only.
    report = subprocess.run(["ffmpeg", "-i", out, "-i", source, "-lavfi", "psnr", "-f", "null", "-"],
                            capture_output=True, text=True).stderr
    psnr = re.search(r"PSNR .*average:(inf|[\d.]+)", report)
    check(psnr and float(psnr.group(1)) > 40, "pictures match the source: %s" % (psnr and psnr.group(0)))


def keep_ranges(kaptora, source):
    out = os.path.join(kaptora.work, "keep.mp4")
    if not kaptora.export("keep", input=source, output=out, keep=[{"start": 3, "end": 4.5}, {"start": 1, "end": 2}]):
        return
    video, audio = streams(out, "video")[0], streams(out, "audio")
    duration = float(video["duration"])
    check(abs(duration - 2.5) < 0.001 and int(video["nb_read_frames"]) == 75,
          "video 2.5 s, 75 pictures: %f, %s" % (duration, video["nb_read_frames"]))
    check([(a["codec_name"], a["sample_rate"], a["channels"]) for a in audio] == [("aac", "48000", 2)],
          "one AAC 48 kHz stereo track")
    # Without an edit list the encoder's priming frame counts in the duration.
    check(abs(float(audio[0]["duration"]) - 1024 / 48000 - duration) <= 1024 / 48000 + 1e-6,
          "audio lasts as long as the video: %s" % audio[0]["duration"])
    raw = run(["ffmpeg", "-v", "error", "-i", out, "-map", "0:a:0", "-f", "s16le", "-ac", "1", "-"])
    samples = struct.unpack("<%dh" % (len(raw) // 2), raw)
    peak = max(abs(x) for x in samples[24000:36000])
    loudest = lambda at: max(abs(x) for x in samples[at - 12:at + 12])  # in 0.5 ms around a position
    cut = 48000 + 1024  # the first part's end, after the priming frame
    # 1 ms from the cut both fades are below 0.3; 50 ms away the tone is whole.
    faded = (loudest(cut - 48), loudest(cut + 48))
    check(max(faded) < 0.3 * peak and min(loudest(p) for p in range(cut - 4800, cut - 2400, 6)) > 0.5 * peak,
          "fades out and in at the cut: %r of %d" % (faded, peak))


def crop(kaptora, source):
    out = os.path.join(kaptora.work, "crop.mp4")
    if not kaptora.export("crop", input=source, output=out, keep=[{"start": 0, "end": 0.5}],
                          crop={"x": 81, "y": 8, "width": 64, "height": 57.9}):
        return
    video = streams(out, "video")[0]
    check((video["width"], video["height"]) == (64, 56), "crop 80,8 64x56: %sx%s" % (video["width"], video["height"]))
    # The box (x 96..143, y 16..55) lands at 16..63, 8..47; left and above it the background.
    frame = rgb_frames(out, 64, 56)[-1]
    inside, outside = frame(40, 28), frame(6, 4)
    check(near(inside, BOX) and near(outside, BACKGROUND), "box %r, background %r" % (inside, outside))


def overlay(kaptora, source):
    png = os.path.join(kaptora.work, "overlay.png")
    # Columns 0-9 opaque red, 10-19 blue at half alpha, 20-31 transparent green.
    write_png(png, 32, 16, lambda x, y: (255, 0, 0, 255) if x < 10 else (0, 0, 255, 128) if x < 20 else (0, 255, 0, 0))
    out = os.path.join(kaptora.work, "overlay.mp4")
    if not kaptora.export("overlay", input=source, output=out, keep=[{"start": 0, "end": 3}],
                          overlays=[{"image": png, "x": 20, "y": 60, "start": 1, "end": 2},
                                    {"image": png, "x": -4, "y": 110, "start": 1, "end": 2}]):
        return
    frames = rgb_frames(out, W, H)
    if not check(len(frames) == 90, "90 pictures, got %d" % len(frames)):
        return
    half = tuple(round(c * 128 / 255 + b * (1 - 128 / 255)) for c, b in zip((0, 0, 255), BACKGROUND))
    for n in (0, 29, 30, 45, 59, 60, 89):
        shown = 30 <= n < 60
        for x, y, colour in ((25, 68, (255, 0, 0)), (35, 68, half), (45, 68, BACKGROUND), (2, 115, (255, 0, 0)),
                             (55, 68, BACKGROUND)):
            got, want = frames[n](x, y), colour if shown else BACKGROUND
            check(near(got, want), "picture %d at %d,%d: %r, expected %r" % (n, x, y, got, want))


def cancel_and_replace(kaptora):
    source, out = os.path.join(kaptora.work, "long.mp4"), os.path.join(kaptora.work, "cancel.mp4")
    make_source(source, 20, size=(640, 360))
    with open(out, "wb") as f:
        f.write(b"old output")
    proc = subprocess.Popen([kaptora.binary, "export", kaptora.job("cancel", input=source, output=out)],
                            env=kaptora.env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True)
    first = proc.stdout.readline()
    proc.stdin.write("cancel\n")
    proc.stdin.flush()
    rest = proc.stdout.read()
    kaptora.judge("cancel", proc.wait(timeout=60), first + rest, "error canceled", 1)
    check(first.startswith("progress "), "progress before the cancel: %r" % first)
    with open(out, "rb") as f:
        check(f.read() == b"old output", "a cancelled export leaves the old output")
    check(not os.path.exists(out + ".video.tmp") and not os.path.exists(out + ".part"), "no scratch file left")
    if kaptora.export("replace", input=source, output=out, keep=[{"start": 0, "end": 1}]):
        check(int(streams(out, "video")[0]["nb_read_frames"]) == 30, "a finished export replaces the output")


def main():
    binary, work = sys.argv[1], sys.argv[2]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    kaptora = Kaptora(binary, work)
    bt601, bt709 = os.path.join(work, "bt601.mp4"), os.path.join(work, "bt709.mp4")
    make_source(bt601, 6)
    make_source(bt709, 1, tagged=True)
    for case, args in ((job_errors, ()), (whole_engine_clip, ()), (keep_ranges, (bt601,)), (crop, (bt709,)),
                       (overlay, (bt601,)), (cancel_and_replace, ())):
        before = len(failures)
        case(kaptora, *args)
        print("%s: %s" % (case.__name__, "ok" if len(failures) == before else "FAILED"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
