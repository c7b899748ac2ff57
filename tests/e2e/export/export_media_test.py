#!/usr/bin/env python3
"""`kaptora export` as a process on clips made by ffmpeg (H.264 with B-frames,
AAC 44.1 kHz mono, a flat background with one box, tagged BT.709), judged by
ffprobe and ffmpeg: one export that cuts, crops and overlays over an old
output, then one cancelled over stdin (fades and the rest are unit-tested);
then odd inputs: a variable-frame-rate cut, a Matroska stream written to a
pipe (no duration), an MPEG-TS file starting at 1.4 s, and inputs named like
the files an export writes (engine_test.py exports a clip the engine saved).
Every run prints only non-decreasing "progress %.4f" lines, then one "done"
or "error <word>" line.

usage: export_media_test.py <kaptora> <work folder>
"""
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import zlib

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from runtime_folder import private_home  # noqa: E402

failures = []
AAC_FRAME = 1024 / 48000
BACKGROUND = (32, 64, 160)
BOX = (224, 192, 32)


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAILED:", what)
    return ok


def near(a, b):
    return all(abs(x - y) <= 4 for x, y in zip(a, b))


def run(cmd):
    return subprocess.run(cmd, capture_output=True, check=True).stdout


def make_source(path, seconds, size):
    """The background with a box at x 96..143, y 16..55."""
    video = ("color=c=0x%02x%02x%02x:s=%dx%d:r=30:d=%d,format=rgb24,drawbox=x=96:y=16:w=48:h=40:color=0x%02x%02x%02x"
             ":t=fill,scale=out_color_matrix=bt709:out_range=tv,format=yuv420p" % (BACKGROUND + size + (seconds,) + BOX))
    run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", video, "-f", "lavfi", "-i",
         "sine=frequency=440:sample_rate=44100:duration=%d" % seconds, "-c:v", "libx264", "-preset", "ultrafast",
         "-qp", "0", "-colorspace", "bt709", "-color_primaries", "bt709", "-color_trc", "bt709",
         "-c:a", "aac", "-ac", "1", "-b:a", "96k", path])


def write_png(path):
    """32x16 RGBA: columns 0-9 opaque red, 10-19 blue at half alpha, 20-31 transparent green."""
    pixel = lambda x: (255, 0, 0, 255) if x < 10 else (0, 0, 255, 128) if x < 20 else (0, 255, 0, 0)
    rows = b"".join(b"\0" + bytes(c for x in range(32) for c in pixel(x)) for y in range(16))
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 32, 16, 8, 6, 0, 0, 0)) +
                chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def streams(path, kind):
    found = json.loads(run(["ffprobe", "-v", "error", "-show_streams", "-count_frames", "-of", "json", path]))
    return [s for s in found["streams"] if s["codec_type"] == kind]


def ffmpeg_says(path):
    """What ffmpeg reports while decoding every stream, its own output timing
    (frames 1 tick apart) kept out of it."""
    return subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-fps_mode", "passthrough",
                           "-enc_time_base", "-1", "-f", "null", "-"], capture_output=True, text=True).stderr


def end_time(stream):
    """Where a stream ends; an AAC track's first (priming) frame left out."""
    end = float(stream.get("start_time", 0)) + float(stream["duration"])
    return end - AAC_FRAME if stream["codec_type"] == "audio" else end


class Kaptora:
    def __init__(self, binary, work):
        self.binary, self.work = binary, work
        self.env = private_home(os.path.join(work, "home"))

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


def cut_crop_overlay(kaptora, source):
    png, out = os.path.join(kaptora.work, "overlay.png"), os.path.join(kaptora.work, "edit.mp4")
    write_png(png)
    with open(out, "wb") as f:
        f.write(b"old output")
    # Source 1-2 s and 3-4.5 s, cropped to 80,8 64x56; the overlay (source
    # 1.5-3.5 s, output pictures 15..44) hangs over the left and bottom edges.
    if not kaptora.export("edit", input=source, output=out, keep=[{"start": 3, "end": 4.5}, {"start": 1, "end": 2}],
                          crop={"x": 81, "y": 8, "width": 64, "height": 57.9},
                          overlays=[{"image": png, "x": -4, "y": 48, "start": 1.5, "end": 3.5}]):
        return
    video, audio = streams(out, "video")[0], streams(out, "audio")
    duration = float(video["duration"])
    if not check((video["width"], video["height"], int(video["nb_read_frames"])) == (64, 56, 75) and abs(duration - 2.5) < 0.001,
                 "64x56, 2.5 s, 75 pictures: %sx%s, %f, %s" % (video["width"], video["height"], duration, video["nb_read_frames"])):
        return
    check([(a["codec_name"], a["sample_rate"], a["channels"]) for a in audio] == [("aac", "48000", 2)],
          "one AAC 48 kHz stereo track")
    # Without an edit list the encoder's priming frame counts in the duration.
    check(abs(float(audio[0]["duration"]) - 1024 / 48000 - duration) <= 1024 / 48000 + 1e-6,
          "audio lasts as long as the video: %s" % audio[0]["duration"])
    raw = run(["ffmpeg", "-v", "error", "-i", out, "-map", "0:v", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"])
    pixel = lambda n, x, y: tuple(raw[(n * 56 * 64 + y * 64 + x) * 3:][:3])
    half = tuple(round(c * 128 / 255 + b * (1 - 128 / 255)) for c, b in zip((0, 0, 255), BACKGROUND))
    for n in (0, 14, 15, 29, 30, 44, 45, 74):
        shown = 15 <= n < 45
        # The box moved by the crop to 16..63, 8..47; the overlay's red at 0..5, blue at 6..15, clear beyond.
        for x, y, colour in ((40, 28, BOX), (6, 4, BACKGROUND), (2, 52, (255, 0, 0) if shown else BACKGROUND),
                             (10, 55, half if shown else BACKGROUND), (20, 52, BACKGROUND)):
            check(near(pixel(n, x, y), colour), "picture %d at %d,%d: %r, expected %r" % (n, x, y, pixel(n, x, y), colour))


def cancel(kaptora):
    source, out = os.path.join(kaptora.work, "long.mp4"), os.path.join(kaptora.work, "cancel.mp4")
    make_source(source, 20, (640, 360))
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


def odd_inputs(kaptora):
    w = kaptora.work
    lavfi = lambda spec: ["-f", "lavfi", "-i", spec]
    x264 = ["-pix_fmt", "yuv420p", "-c:v", "libx264", "-preset", "ultrafast"]
    # 100 fps up to 1.6 s, then a picture every 0.2 s; the cut at 1.85 s
    # keeps the one at 1.8 s, whose own output time lies before the last
    # kept picture's.
    vfr = os.path.join(w, "vfr.mp4")
    run(["ffmpeg", "-v", "error", "-y"] + lavfi("testsrc=s=160x120:r=100:d=3") +
        ["-vf", r"select=lt(n\,160)+not(mod(n-160\,20))", "-fps_mode", "vfr", "-bf", "0"] + x264 + [vfr])
    out = os.path.join(w, "vfr_out.mp4")
    if kaptora.export("vfr", input=vfr, output=out, keep=[{"start": 0, "end": 1}, {"start": 1.85, "end": 3}]):
        video, said = streams(out, "video")[0], ffmpeg_says(out)
        check(int(video["nb_read_frames"]) == 106 and not said, "vfr: 106 pictures decoded cleanly: %s, %r" %
              (video["nb_read_frames"], said[:300]))

    sources = {"pipe": os.path.join(w, "pipe.mkv"), "ts": os.path.join(w, "ts.ts")}
    av = lavfi("testsrc=s=160x120:r=30:d=4") + lavfi("sine=sample_rate=44100:duration=4") + x264 + ["-c:a", "aac"]
    with open(sources["pipe"], "wb") as f:  # written to a pipe: no duration, no index
        f.write(run(["ffmpeg", "-v", "error"] + av + ["-f", "matroska", "-"]))
    run(["ffmpeg", "-v", "error", "-y"] + av + [sources["ts"]])  # its time stamps begin at 1.4 s
    for name, source in sources.items():
        out = os.path.join(w, name + "_out.mp4")
        if not kaptora.export(name, input=source, output=out):
            continue
        video, audio = streams(out, "video"), streams(out, "audio")
        check(len(video) == 1 and int(video[0]["nb_read_frames"]) == 120, "%s: all 120 pictures" % name)
        check(len(audio) == 1 and abs(end_time(audio[0]) - end_time(video[0])) <= AAC_FRAME,
              "%s: the audio ends with the video: %r" % (name, [(s["codec_type"], s.get("start_time"),
                                                                 s["duration"]) for s in video + audio]))
        said = ffmpeg_says(out)
        check(not said, "%s: decodes cleanly: %r" % (name, said[:300]))

    # Inputs named like the files an export writes beside its output.
    with open(vfr, "rb") as f:
        original = f.read()
    for suffix in (".part", ".video.tmp"):
        out = os.path.join(w, "named.mp4")
        named = out + suffix
        with open(named, "wb") as f:
            f.write(original)
        kaptora.export("named" + suffix, "error input", 1, input=named, output=out)
        with open(named, "rb") as f:
            check(f.read() == original, "an input named <output>%s stays as it was" % suffix)
        check(not os.path.exists(out), "no output beside an input named <output>%s" % suffix)
        os.remove(named)


def main():
    binary, work = sys.argv[1], sys.argv[2]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    kaptora = Kaptora(binary, work)
    kaptora.export("missing", "error job", 2, job=os.path.join(work, "missing.json"))
    source = os.path.join(work, "source.mp4")
    make_source(source, 6, (160, 120))
    cut_crop_overlay(kaptora, source)
    cancel(kaptora)
    odd_inputs(kaptora)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
