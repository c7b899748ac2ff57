#!/usr/bin/env python3
"""The MP4 writer judged by ffprobe/ffmpeg: a real H.264 stream (no B-frames)
and two AAC streams, one at 44.1 kHz starting 1.5 s late with an empty name,
written by the fixture with Mp4Writer. The decoder must see the streams,
frame counts, keyframes, start times and durations we put in, and a full
decode must say nothing.

usage: mp4_writer_test.py <kp_mp4_fixture> <work folder>
"""
import json
import os
import shutil
import subprocess
import sys

WIDTH, HEIGHT, FPS, FRAMES, GOP = 320, 240, 30, 90, 30


def run(*args):
    r = subprocess.run(args, capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stdout + r.stderr
    return r.stdout


def main():
    fixture, work = sys.argv[1], sys.argv[2]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    video, a48, a44, out = (os.path.join(work, n) for n in ("v.h264", "a48.adts", "a44.adts", "out.mp4"))
    run("ffmpeg", "-v", "error", "-f", "lavfi", "-i", f"testsrc=size={WIDTH}x{HEIGHT}:rate={FPS}",
        "-frames:v", str(FRAMES), "-c:v", "libx264", "-bf", "0", "-g", str(GOP), "-pix_fmt", "yuv420p", video)
    for path, rate, seconds in ((a48, 48000, 3), (a44, 44100, 1.5)):
        run("ffmpeg", "-v", "error", "-f", "lavfi", "-i", f"sine=sample_rate={rate}:duration={seconds}",
            "-ac", "2", "-c:a", "aac", "-f", "adts", path)

    lines = run(fixture, video, str(WIDTH), str(HEIGHT), str(FPS), out, a48, "Desktop", "0", a44, "", "1500").split("\n")
    assert lines[0] == f"video {FRAMES} {FRAMES // GOP}", lines
    frames48, frames44 = int(lines[1].split()[1]), int(lines[2].split()[1])
    assert not os.path.exists(out + ".part")

    info = json.loads(run("ffprobe", "-v", "error", "-count_frames", "-show_streams", "-show_format", "-of", "json", out))
    v, late, desktop = info["streams"]  # audio traks are written from the highest index down
    assert (v["codec_name"], v["width"], v["height"], v["r_frame_rate"]) == ("h264", WIDTH, HEIGHT, f"{FPS}/1"), v
    assert int(v["nb_read_frames"]) == FRAMES == int(v["nb_frames"]), v
    assert v["tags"]["handler_name"] == "Video", v
    expected = [  # stream, id, rate, frames, start
        (v, 1, None, FRAMES, 0.0),
        (desktop, 2, 48000, frames48, 0.0),
        (late, 3, 44100, frames44, 1.5),
    ]
    for s, track_id, rate, frames, start in expected:
        assert int(s["id"], 16) == track_id, s
        assert abs(float(s.get("start_time", 0)) - start) < 0.002, s
        if rate:
            assert (s["codec_name"], int(s["sample_rate"]), s["channels"]) == ("aac", rate, 2), s
            assert int(s["nb_read_frames"]) == frames, s
            assert abs(float(s["duration"]) - frames * 1024 / rate) < 0.002, s
    assert abs(float(v["duration"]) - FRAMES / FPS) < 0.002, v
    assert desktop["tags"]["handler_name"] == "Desktop" and late["tags"].get("handler_name", "") == ""
    end = max(FRAMES / FPS, frames48 * 1024 / 48000, 1.5 + frames44 * 1024 / 44100)
    assert abs(float(info["format"]["duration"]) - end) < 0.002, info["format"]

    flags = run("ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "packet=flags",
                "-of", "csv=p=0", out).split()
    assert [i for i, f in enumerate(flags) if "K" in f] == list(range(0, FRAMES, GOP)), flags
    r = subprocess.run(["ffmpeg", "-v", "error", "-i", out, "-map", "0", "-f", "null", "-"],
                       capture_output=True, text=True, timeout=120)
    assert r.returncode == 0 and r.stdout == r.stderr == "", r.stderr
    print("ok")


if __name__ == "__main__":
    main()
