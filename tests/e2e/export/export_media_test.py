#!/usr/bin/env python3
"""`kaptora export` on real clips, judged by ffprobe and ffmpeg.

Sources made at test time: two clips made by ffmpeg (H.264 with B-frames and
AAC at 44.1 kHz mono, 160x120, a flat background with one coloured box; one
untagged, read as BT.601, one tagged and converted as BT.709) and a clip the
engine saves with its mixed + separate audio tracks. The cases:
- the whole engine clip: every picture kept, decoded output close to the
  decoded input, the three tracks with their names in their order;
- two keep ranges: video as long as the kept time, every track as long as
  the video within one AAC frame, 48 kHz stereo, a fade at the cut;
- a crop: output size, and the box's colour where the box lies;
- a PNG overlay with opaque, half and fully transparent parts, one partly
  outside the picture: drawn only on pictures inside its window;
- cancel through the pipe: exit 1, "error canceled", the old output kept,
  no scratch file; then a run that succeeds replaces the old output.

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
BOX = (224, 192, 32)        # at x 96..143, y 16..55
BOX_AT = (96, 16, 48, 40)


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAILED:", what)
    return ok


def near(a, b, tolerance):
    return all(abs(x - y) <= tolerance for x, y in zip(a, b))


def run(cmd, **kw):
    return subprocess.run(cmd, capture_output=True, check=True, **kw).stdout


def make_source(path, seconds, tagged=False, size=(W, H)):
    box = "drawbox=x=%d:y=%d:w=%d:h=%d:color=0x%02x%02x%02x:t=fill" % (BOX_AT + BOX)
    matrix = ",scale=out_color_matrix=bt709:out_range=tv" if tagged else ""
    video = "color=c=0x%02x%02x%02x:s=%dx%d:r=30:d=%d,format=rgb24,%s%s,format=yuv420p" % (
        BACKGROUND + size + (seconds, box, matrix))
    tags = ["-colorspace", "bt709", "-color_primaries", "bt709", "-color_trc", "bt709"] if tagged else []
    run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", video,
         "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration=%d" % seconds,
         "-c:v", "libx264", "-preset", "ultrafast", "-qp", "0"] + tags +
        ["-c:a", "aac", "-ac", "1", "-b:a", "96k", path])


def write_png(path, width, height, pixel):
    """RGBA PNG; pixel(x, y) gives (r, g, b, a)."""
    rows = b"".join(b"\0" + bytes(c for x in range(width) for c in pixel(x, y)) for y in range(height))
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)) +
                chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def streams(path):
    return json.loads(run(["ffprobe", "-v", "error", "-show_streams", "-count_frames", "-of", "json", path]))[
        "streams"]


def rgb_frames(path, width, height):
    raw = run(["ffmpeg", "-v", "error", "-i", path, "-map", "0:v", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"])
    size = width * height * 3
    return [raw[i:i + size] for i in range(0, len(raw) - size + 1, size)]


def pixel(frame, width, x, y):
    i = (y * width + x) * 3
    return tuple(frame[i:i + 3])


def pcm(path, stream):
    raw = run(["ffmpeg", "-v", "error", "-i", path, "-map", "0:a:%d" % stream, "-f", "s16le", "-ac", "1", "-"])
    return struct.unpack("<%dh" % (len(raw) // 2), raw)


class Kaptora:
    def __init__(self, binary, work):
        self.binary, self.work = binary, work
        home = os.path.join(work, "home")
        self.env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, "config"),
                        XDG_STATE_HOME=os.path.join(home, "state"), XDG_RUNTIME_DIR=os.path.join(home, "run"))
        os.makedirs(self.env["XDG_RUNTIME_DIR"], mode=0o700)

    def job(self, name, **fields):
        path = os.path.join(self.work, name + ".json")
        with open(path, "w") as f:
            json.dump(fields, f)
        return path

    def export(self, name, **fields):
        out = subprocess.run([self.binary, "export", self.job(name, **fields)], env=self.env,
                             stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)
        ok = out.returncode == 0 and out.stdout.endswith("done\n")
        check(ok, "%s: exit %d, %r %s" % (name, out.returncode, out.stdout[-200:], out.stderr[-2000:]))
        return ok


def engine_clip(kaptora):
    """About 3 s saved by the engine, tracks mixed + separate."""
    settings = os.path.join(kaptora.work, "settings.json")
    clips = os.path.join(kaptora.work, "clips")
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
    return os.path.join(clips, files[0]) if check(len(files) == 1, "engine saved one clip: %r" % files) else None


def whole_engine_clip(kaptora):
    source = engine_clip(kaptora)
    if not source:
        return
    out = os.path.join(kaptora.work, "whole.mp4")
    if not kaptora.export("whole", input=source, output=out):
        return
    names = lambda s: [x.get("tags", {}).get("handler_name") for x in s if x["codec_type"] == "audio"]
    src, dst = streams(source), streams(out)
    # Listed by ffprobe in file order, which the engine writes last track first.
    check(names(dst) == ["Microphone", "Desktop Audio", "Desktop + Microphone"] and names(dst) == names(src),
          "track names and order %r, source %r" % (names(dst), names(src)))
    v_src = [s for s in src if s["codec_type"] == "video"][0]
    v_dst = [s for s in dst if s["codec_type"] == "video"][0]
    check(v_dst["nb_read_frames"] == v_src["nb_read_frames"],
          "all %s pictures kept, got %s" % (v_src["nb_read_frames"], v_dst["nb_read_frames"]))
    check((v_dst["width"], v_dst["height"]) == (v_src["width"], v_src["height"]), "size kept")
    # Through RGB and back the pictures change by rounding only.
    report = subprocess.run(["ffmpeg", "-i", out, "-i", source, "-lavfi", "psnr", "-f", "null", "-"],
                            capture_output=True, text=True).stderr
    psnr = re.search(r"PSNR .*average:(inf|[\d.]+)", report)
    check(psnr and float(psnr.group(1)) > 40, "pictures match the source: %s" % (psnr and psnr.group(0)))


def keep_ranges(kaptora, source):
    out = os.path.join(kaptora.work, "keep.mp4")
    if not kaptora.export("keep", input=source, output=out, keep=[{"start": 3, "end": 4.5}, {"start": 1, "end": 2}]):
        return
    s = streams(out)
    video = [x for x in s if x["codec_type"] == "video"]
    audio = [x for x in s if x["codec_type"] == "audio"]
    duration = float(video[0]["duration"])
    check(abs(duration - 2.5) < 0.001 and int(video[0]["nb_read_frames"]) == 75,
          "video 2.5 s, 75 pictures: %f, %s" % (duration, video[0]["nb_read_frames"]))
    check(len(audio) == 1 and audio[0]["codec_name"] == "aac" and audio[0]["sample_rate"] == "48000" and
          audio[0]["channels"] == 2, "one AAC 48 kHz stereo track")
    # Without an edit list the encoder's priming frame counts in the duration.
    check(abs(float(audio[0]["duration"]) - 1024 / 48000 - duration) <= 1024 / 48000 + 1e-6,
          "audio lasts as long as the video: %s" % audio[0]["duration"])
    samples = pcm(out, 0)
    peak = max(abs(x) for x in samples[24000:36000])

    def loudest(at):  # in 0.5 ms around a sample position
        return max(abs(x) for x in samples[at - 12:at + 12])
    cut = 48000 + 1024  # the first part's end, after the priming frame
    # 1 ms from the cut both fades are below a fifth; 50 ms away the tone is whole.
    faded = (loudest(cut - 48), loudest(cut + 48))
    check(max(faded) < 0.3 * peak and min(loudest(p) for p in range(cut - 4800, cut - 2400, 6)) > 0.5 * peak,
          "fades out and in at the cut: %r of %d" % (faded, peak))


def crop(kaptora, source):
    out = os.path.join(kaptora.work, "crop.mp4")
    if not kaptora.export("crop", input=source, output=out, keep=[{"start": 0, "end": 0.5}],
                          crop={"x": 81, "y": 8, "width": 64, "height": 57.9}):
        return
    video = [x for x in streams(out) if x["codec_type"] == "video"][0]
    check((video["width"], video["height"]) == (64, 56), "crop 80,8 64x56: %sx%s" % (video["width"], video["height"]))
    frames = rgb_frames(out, 64, 56)
    # The box (x 96..143, y 16..55) lands at 16..63, 8..47; left and above it the background.
    inside, outside = pixel(frames[-1], 64, 40, 28), pixel(frames[-1], 64, 6, 4)
    check(near(inside, BOX, 4) and near(outside, BACKGROUND, 4), "box %r, background %r" % (inside, outside))


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
    a = 128 / 255
    half = tuple(round(c * a + b * (1 - a)) for c, b in zip((0, 0, 255), BACKGROUND))
    for n in (0, 29, 30, 45, 59, 60, 89):
        shown = 30 <= n < 60
        f = frames[n]
        want = [(25, 68, (255, 0, 0) if shown else BACKGROUND), (35, 68, half if shown else BACKGROUND),
                (45, 68, BACKGROUND), (2, 115, (255, 0, 0) if shown else BACKGROUND), (55, 68, BACKGROUND)]
        for x, y, colour in want:
            got = pixel(f, W, x, y)
            check(near(got, colour, 4), "picture %d at %d,%d: %r, expected %r" % (n, x, y, got, colour))


def cancel_and_replace(kaptora):
    source = os.path.join(kaptora.work, "long.mp4")
    make_source(source, 20, size=(640, 360))
    out = os.path.join(kaptora.work, "cancel.mp4")
    with open(out, "wb") as f:
        f.write(b"old output")
    job = kaptora.job("cancel", input=source, output=out)
    proc = subprocess.Popen([kaptora.binary, "export", job], env=kaptora.env, stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    lines = [proc.stdout.readline()]
    proc.stdin.write("cancel\n")
    proc.stdin.flush()
    lines += proc.stdout.read().splitlines()
    code = proc.wait(timeout=60)
    check(lines[0].startswith("progress ") and code == 1 and lines[-1] == "error canceled",
          "cancel: exit %d, %r" % (code, lines[-3:]))
    with open(out, "rb") as f:
        check(f.read() == b"old output", "a cancelled export leaves the old output")
    check(not os.path.exists(out + ".video.tmp") and not os.path.exists(out + ".part"), "no scratch file left")
    if kaptora.export("replace", input=source, output=out, keep=[{"start": 0, "end": 1}]):
        video = [x for x in streams(out) if x["codec_type"] == "video"]
        check(len(video) == 1 and int(video[0]["nb_read_frames"]) == 30, "a finished export replaces the output")


def main():
    binary, work = sys.argv[1], sys.argv[2]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    kaptora = Kaptora(binary, work)
    bt601, bt709 = os.path.join(work, "bt601.mp4"), os.path.join(work, "bt709.mp4")
    make_source(bt601, 6)
    make_source(bt709, 1, tagged=True)
    for case, args in ((whole_engine_clip, ()), (keep_ranges, (bt601,)), (crop, (bt709,)), (overlay, (bt601,)),
                       (cancel_and_replace, ())):
        before = len(failures)
        case(kaptora, *args)
        print("%s: %s" % (case.__name__, "ok" if len(failures) == before else "FAILED"))
    print("failures:", len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
