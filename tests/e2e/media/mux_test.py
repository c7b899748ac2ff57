#!/usr/bin/env python3
"""End-to-end test of the replay buffer and clip writer through kaptora-mux.

Real H.264 and AAC streams are made with the ffmpeg command line, pushed
through a real replay buffer by kaptora-mux, and the clip is checked with
ffprobe/ffmpeg as independent readers: streams and codecs, sample counts,
durations, start times, keyframes, clean decoding, and decoded pictures equal
to the same pictures decoded from the source stream.

usage: mux_test.py KAPTORA_MUX [WORK_DIR]
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

MUX = None
WORK = None
TICKS = 10_000_000


def run(args, **kw):
    return subprocess.run(args, capture_output=True, text=True, **kw)


def ffmpeg(*args):
    r = run(["ffmpeg", "-hide_banner", "-v", "error", "-y", *args])
    if r.returncode != 0:
        raise RuntimeError("ffmpeg failed: " + r.stderr)


def make_video(path, size, fps, gop, seconds, bframes=0):
    ffmpeg("-f", "lavfi", "-i", f"testsrc2=size={size}:rate={fps}", "-t", str(seconds),
           "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-bf", str(bframes),
           "-x264-params", f"keyint={gop}:min-keyint={gop}:scenecut=0", "-f", "h264", path)


def make_audio(path, freq, seconds):
    ffmpeg("-f", "lavfi", "-i", f"sine=frequency={freq}:sample_rate=48000", "-ac", "2", "-t", str(seconds),
           "-c:a", "aac", "-b:a", "96k", "-f", "adts", path)


def adts_frame_count(path):
    with open(path, "rb") as f:
        data = f.read()
    pos = count = 0
    while pos + 7 <= len(data):
        assert data[pos] == 0xFF and (data[pos + 1] & 0xF6) == 0xF0, "bad ADTS"
        length = ((data[pos + 3] & 3) << 11) | (data[pos + 4] << 3) | (data[pos + 5] >> 5)
        pos += length
        count += 1
    return count


def probe(path):
    r = run(["ffprobe", "-v", "error", "-show_streams", "-show_format", "-of", "json", path])
    assert r.returncode == 0, r.stderr
    return json.loads(r.stdout)


def first_packet_flags(path, stream):
    r = run(["ffprobe", "-v", "error", "-select_streams", stream, "-show_entries", "packet=flags",
             "-read_intervals", "%+#1", "-of", "csv=p=0", path])
    return r.stdout.strip().splitlines()[0]


def frame_hashes(path):
    r = run(["ffmpeg", "-hide_banner", "-v", "error", "-i", path, "-map", "0:v:0", "-f", "framemd5", "-"])
    assert r.returncode == 0, r.stderr
    return [line.rsplit(",", 1)[1].strip() for line in r.stdout.splitlines() if line and not line.startswith("#")]


class Scenario:
    """One source set, muxed once; the expectations follow the live time-stamp rules."""

    def __init__(self, name, size, fps, gop, seconds, tones, clip_seconds):
        self.dir = os.path.join(WORK, name)
        os.makedirs(self.dir, exist_ok=True)
        self.fps, self.gop = fps, gop
        self.video = os.path.join(self.dir, "video.h264")
        make_video(self.video, size, fps, gop, seconds)
        self.audio = []
        for i, tone in enumerate(tones):
            path = os.path.join(self.dir, f"audio{i + 1}.aac")
            make_audio(path, tone, seconds)
            self.audio.append(path)
        self.out = os.path.join(self.dir, "clip.mp4")
        args = [MUX, "--video", self.video, "--fps", str(fps)]
        for a in self.audio:
            args += ["--audio", a]
        args += ["--buffer", os.path.join(self.dir, "buffer")]
        if clip_seconds is not None:
            args += ["--seconds", str(clip_seconds)]
        args.append(self.out)
        self.result = run(args, timeout=120)

        # Expected selection, computed independently from the stream sizes.
        self.source_hashes = frame_hashes(self.video)
        frames = len(self.source_hashes)
        vpts = [k * TICKS // fps for k in range(frames + 1)]
        audio_frames = [adts_frame_count(a) for a in self.audio]
        apts = lambda n: n * 1024 * TICKS // 48000
        now = max([vpts[frames]] + [apts(n) for n in audio_frames])
        length = int(clip_seconds * TICKS) if clip_seconds is not None else now + TICKS
        target = now - length
        keyframes = [k for k in range(frames) if k % gop == 0]
        first = max([k for k in keyframes if vpts[k] <= target], default=0)
        self.start = vpts[first]
        self.first_frame = first
        self.video_count = sum(1 for k in range(first, frames) if vpts[k] < now)
        self.audio_counts = [sum(1 for n in range(c) if self.start <= apts(n) < now) for c in audio_frames]
        self.audio_first = [next(n for n in range(c) if apts(n) >= self.start) for c in audio_frames]


class MuxClipTest(unittest.TestCase):
    scenarios = {}

    @classmethod
    def setUpClass(cls):
        table = [
            # name, size, fps, gop, seconds, audio tones, clip seconds
            ("cropped_30fps_one_track", "642x362", 30, 30, 6, [440], 3.5),
            ("wide_60fps_three_tracks", "1366x768", 60, 60, 3, [330, 550, 770], None),
            ("small_30fps_two_tracks", "320x240", 30, 15, 4, [500, 900], 1.2),
            ("video_only", "176x144", 30, 10, 2, [], 1.0),
        ]
        for row in table:
            cls.scenarios[row[0]] = Scenario(*row)

    def each(self):
        for name, s in self.scenarios.items():
            with self.subTest(name):
                yield s

    def test_mux_succeeds_and_reports_the_selection(self):
        for s in self.each():
            self.assertEqual(s.result.returncode, 0, s.result.stderr)
            self.assertIn(f"video {s.video_count} samples from {s.start / TICKS:.6f} s", s.result.stdout)
            self.assertIn(f"buffer: on disk in {os.path.join(s.dir, 'buffer')}", s.result.stderr)
            # The buffer's files went with the buffer and the clip.
            self.assertEqual([f for f in os.listdir(os.path.join(s.dir, "buffer")) if f.endswith(".kpseg")], [])
            self.assertFalse(os.path.exists(s.out + ".part"))

    def test_streams_codecs_and_sample_counts(self):
        for s in self.each():
            info = probe(s.out)
            streams = info["streams"]
            self.assertEqual(len(streams), 1 + len(s.audio))
            v = streams[0]
            src = probe(s.video)["streams"][0]
            self.assertEqual(v["codec_name"], "h264")
            self.assertEqual((v["width"], v["height"]), (src["width"], src["height"]))
            self.assertEqual(int(v["nb_frames"]), s.video_count)
            self.assertAlmostEqual(float(v["duration"]), s.video_count / s.fps, delta=0.002)
            names = []
            for i, a in enumerate(streams[1:]):
                self.assertEqual(a["codec_name"], "aac")
                self.assertEqual(int(a["sample_rate"]), 48000)
                self.assertEqual(a["channels"], 2)
                names.append(a.get("tags", {}).get("handler_name"))
            # ffprobe lists tracks in file order: the writer puts audio tracks
            # from the highest index down.
            self.assertEqual(sorted(names), [f"Audio {i + 1}" for i in range(len(s.audio))])
            counts = sorted(int(a["nb_frames"]) for a in streams[1:])
            self.assertEqual(counts, sorted(s.audio_counts))

    def test_starts_at_a_keyframe_with_audio_right_after(self):
        for s in self.each():
            self.assertEqual(s.first_frame % s.gop, 0)
            self.assertTrue(first_packet_flags(s.out, "v:0").startswith("K"))
            streams = probe(s.out)["streams"]
            video_start = float(streams[0]["start_time"])
            self.assertAlmostEqual(video_start, 0.0, delta=0.0005)
            for a in streams[1:]:
                gap = float(a["start_time"]) - video_start
                self.assertGreaterEqual(gap, -0.0005)
                self.assertLessEqual(gap, 1024 / 48000 + 0.0015)

    def test_decodes_cleanly(self):
        for s in self.each():
            r = run(["ffmpeg", "-hide_banner", "-v", "error", "-i", s.out, "-map", "0", "-f", "null", "-"])
            self.assertEqual(r.returncode, 0)
            self.assertEqual(r.stderr, "")

    def test_pictures_equal_the_source_tail(self):
        for s in self.each():
            clip = frame_hashes(s.out)
            self.assertEqual(len(clip), s.video_count)
            self.assertEqual(clip, s.source_hashes[s.first_frame:s.first_frame + s.video_count])


class MuxCommandLineTest(unittest.TestCase):
    def setUp(self):
        self.dir = os.path.join(WORK, "cli")
        os.makedirs(self.dir, exist_ok=True)
        self.video = os.path.join(self.dir, "v.h264")
        if not os.path.exists(self.video):
            make_video(self.video, "160x120", 30, 10, 1)
            make_audio(os.path.join(self.dir, "a.aac"), 440, 1)

    def test_help_and_usage_errors(self):
        r = run([MUX, "--help"])
        self.assertEqual(r.returncode, 0)
        self.assertTrue(r.stdout.startswith("usage: kaptora-mux --video FILE.h264 --fps N"))
        a = os.path.join(self.dir, "a.aac")
        bad = [
            [],
            ["--video", self.video, "--fps", "30", "out.mp4"],
            ["--video", self.video, "--fps", "0", "--buffer", self.dir, "out.mp4"],
            ["--video", self.video, "--fps", "30", "--buffer", self.dir, "--seconds", "-1", "out.mp4"],
            ["--video", self.video, "--fps", "30", "--buffer", self.dir] + ["--audio", a] * 4 + ["out.mp4"],
            ["--video", self.video, "--fps", "30", "--buffer", self.dir, "--bogus", "out.mp4"],
        ]
        for args in bad:
            with self.subTest(args=args):
                r = run([MUX] + args)
                self.assertEqual(r.returncode, 2)
                self.assertIn("usage: kaptora-mux", r.stderr)

    def test_refuses_b_frames(self):
        video = os.path.join(self.dir, "b.h264")
        make_video(video, "160x120", 30, 10, 1, bframes=2)
        r = run([MUX, "--video", video, "--fps", "30", "--buffer", os.path.join(self.dir, "buf"),
                 os.path.join(self.dir, "b.mp4")])
        self.assertEqual(r.returncode, 1)
        self.assertIn("B-frames", r.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.dir, "b.mp4")))

    def test_unreadable_inputs(self):
        out = os.path.join(self.dir, "x.mp4")
        r = run([MUX, "--video", os.path.join(self.dir, "missing.h264"), "--fps", "30", "--buffer", self.dir, out])
        self.assertEqual(r.returncode, 1)
        self.assertIn("cannot read", r.stderr)
        r = run([MUX, "--video", self.video, "--fps", "30", "--audio", self.video, "--buffer", self.dir, out])
        self.assertEqual(r.returncode, 1)
        self.assertIn("ADTS", r.stderr)
        self.assertFalse(os.path.exists(out))


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    MUX = os.path.abspath(sys.argv[1])
    own_work = len(sys.argv) < 3
    WORK = tempfile.mkdtemp(prefix="kaptora-mux-e2e-") if own_work else os.path.abspath(sys.argv[2])
    if not own_work:
        shutil.rmtree(WORK, ignore_errors=True)
        os.makedirs(WORK)
    try:
        ok = unittest.main(argv=[sys.argv[0], "-v"], exit=False).result.wasSuccessful()
    finally:
        if own_work:
            shutil.rmtree(WORK, ignore_errors=True)
    sys.exit(0 if ok else 1)
