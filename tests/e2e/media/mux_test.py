#!/usr/bin/env python3
"""The replay buffer and clip writer end to end through kaptora-mux: ffmpeg
makes real H.264 and AAC streams, kaptora-mux pushes them through a real
buffer, and ffprobe/ffmpeg judge the clip: streams, sample counts, start at
a keyframe, clean decoding, and pictures equal to the source's own.

usage: mux_test.py KAPTORA_MUX WORK_DIR
"""
import json
import os
import shutil
import subprocess
import sys
import unittest

MUX = WORK = None
TICKS = 10_000_000


def run(*args, **kw):
    return subprocess.run(args, capture_output=True, text=True, timeout=120, **kw)


def ffmpeg(*args):
    r = run("ffmpeg", "-hide_banner", "-v", "error", "-y", *args)
    assert r.returncode == 0, r.stderr


def make_video(path, size, fps, gop, seconds, bframes=0):
    ffmpeg("-f", "lavfi", "-i", f"testsrc2=size={size}:rate={fps}", "-t", str(seconds), "-c:v", "libx264",
           "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-bf", str(bframes),
           "-x264-params", f"keyint={gop}:min-keyint={gop}:scenecut=0", "-f", "h264", path)


def make_audio(path, freq, seconds):
    ffmpeg("-f", "lavfi", "-i", f"sine=frequency={freq}:sample_rate=48000", "-ac", "2", "-t", str(seconds),
           "-c:a", "aac", "-f", "adts", path)


def probe(path, *extra):
    r = run("ffprobe", "-v", "error", *extra, "-show_streams", "-of", "json", path)
    assert r.returncode == 0, r.stderr
    return json.loads(r.stdout)["streams"]


def frame_hashes(path):
    r = run("ffmpeg", "-hide_banner", "-v", "error", "-i", path, "-map", "0:v:0", "-f", "framemd5", "-")
    assert r.returncode == 0, r.stderr
    return [line.rsplit(",", 1)[1].strip() for line in r.stdout.splitlines() if line and not line.startswith("#")]


class MuxClipTest(unittest.TestCase):
    # name, size, fps, gop, seconds, audio tones, clip seconds (None: all)
    TABLE = [("cropped_30fps_one_track", "642x362", 30, 30, 6, [440], 3.5),
             ("wide_60fps_three_tracks", "1366x768", 60, 60, 2, [330, 550, 770], None),
             ("small_30fps_two_tracks", "320x240", 30, 15, 4, [500, 900], 1.2),
             ("video_only", "176x144", 30, 10, 2, [], 1.0)]

    def test_clips(self):
        for name, size, fps, gop, seconds, tones, clip_seconds in self.TABLE:
            with self.subTest(name):
                self.check(os.path.join(WORK, name), size, fps, gop, seconds, tones, clip_seconds)

    def check(self, folder, size, fps, gop, seconds, tones, clip_seconds):
        os.makedirs(folder)
        video, out, buffer = (os.path.join(folder, n) for n in ("video.h264", "clip.mp4", "buffer"))
        make_video(video, size, fps, gop, seconds)
        audio = [os.path.join(folder, f"audio{i}.aac") for i in range(len(tones))]
        args = [MUX, "--video", video, "--fps", str(fps), "--buffer", buffer]
        for path, tone in zip(audio, tones):
            make_audio(path, tone, seconds)
            args += ["--audio", path]
        if clip_seconds is not None:
            args += ["--seconds", str(clip_seconds)]
        result = run(*args, out)
        self.assertEqual(result.returncode, 0, result.stderr)

        # The clip starts at the last keyframe at or before now - length, where
        # now is the end of the longest stream; it runs to the end of the source.
        source = frame_hashes(video)
        apts = lambda n: n * 1024 * TICKS // 48000
        audio_frames = [int(probe(path, "-count_frames")[0]["nb_read_frames"]) for path in audio]
        now = max([len(source) * TICKS // fps] + [apts(n) for n in audio_frames])
        target = now - (int(clip_seconds * TICKS) if clip_seconds is not None else now + TICKS)
        first = max([k for k in range(0, len(source), gop) if k * TICKS // fps <= target], default=0)
        start, count = first * TICKS // fps, len(source) - first
        audio_counts = [sum(1 for n in range(c) if start <= apts(n) < now) for c in audio_frames]
        self.assertIn(f"video {count} samples from {start / TICKS:.6f} s", result.stdout)
        self.assertEqual([f for f in os.listdir(buffer) if f.endswith(".kpseg")], [])  # gone with the buffer
        self.assertEqual(frame_hashes(out), source[first:])  # decodable from the first picture on

        streams = probe(out, "-count_frames")
        src = probe(video)[0]
        v = streams[0]
        self.assertEqual((v["codec_name"], v["width"], v["height"]), ("h264", src["width"], src["height"]))
        self.assertEqual(int(v["nb_read_frames"]), count)
        self.assertAlmostEqual(float(v["duration"]), count / fps, delta=0.002)
        self.assertAlmostEqual(float(v["start_time"]), 0.0, delta=0.0005)
        # Audio tracks are written from the highest index down; each starts
        # with the picture, or within one AAC frame after it.
        self.assertEqual(sorted(a["tags"]["handler_name"] for a in streams[1:]), [f"Audio {i + 1}" for i in range(len(tones))])
        for a in streams[1:]:
            self.assertEqual((a["codec_name"], int(a["sample_rate"]), a["channels"]), ("aac", 48000, 2))
            self.assertGreaterEqual(float(a["start_time"]), -0.0005)
            self.assertLessEqual(float(a["start_time"]), 1024 / 48000 + 0.0015)
        self.assertEqual(sorted(int(a["nb_read_frames"]) for a in streams[1:]), sorted(audio_counts))
        r = run("ffmpeg", "-hide_banner", "-v", "error", "-i", out, "-map", "0", "-f", "null", "-")
        self.assertEqual((r.returncode, r.stderr), (0, ""))


class MuxCommandLineTest(unittest.TestCase):
    def test_refusals(self):
        folder = os.path.join(WORK, "cli")
        os.makedirs(folder)
        video, bvideo, audio, out = (os.path.join(folder, n) for n in ("v.h264", "b.h264", "a.aac", "x.mp4"))
        make_video(video, "160x120", 30, 10, 1)
        make_video(bvideo, "160x120", 30, 10, 1, bframes=2)
        make_audio(audio, 440, 1)
        base = ["--fps", "30", "--buffer", folder]
        for args, code, text in (([], 2, "usage: kaptora-mux --video FILE.h264 --fps N"),
                                 (["--video", video] + base + ["--audio", audio] * 4 + [out], 2, "usage: kaptora-mux"),
                                 (["--video", bvideo] + base + [out], 1, "B-frames"),
                                 (["--video", video + ".missing"] + base + [out], 1, "cannot read"),
                                 (["--video", video] + base + ["--audio", video, out], 1, "ADTS")):
            with self.subTest(args=args):
                r = run(MUX, *args)
                self.assertEqual(r.returncode, code)
                self.assertIn(text, r.stderr)
                self.assertFalse(os.path.exists(out))


if __name__ == "__main__":
    MUX, WORK = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    shutil.rmtree(WORK, ignore_errors=True)
    os.makedirs(WORK)
    sys.exit(0 if unittest.main(argv=[sys.argv[0], "-v"], exit=False).result.wasSuccessful() else 1)
