#!/usr/bin/env python3
"""The MP4 writer judged by an independent reader.

ffmpeg makes a real H.264 stream (no B-frames) and two AAC streams; the
fixture converts them into packets with the program's Annex-B helpers and
writes them with Mp4Writer. ffprobe must then see the streams, codecs, frame
counts, keyframes, start times and durations we put in, and a full decode
must report nothing.

usage: mp4_writer_test.py <kp_mp4_fixture> <work folder>
"""
import json
import os
import shutil
import subprocess
import sys

WIDTH, HEIGHT, FPS, FRAMES, GOP = 320, 240, 30, 90, 30


def run(args, **kw):
    return subprocess.run(args, capture_output=True, text=True, timeout=120, **kw)


def make_streams(work):
    video = os.path.join(work, "v.h264")
    r = run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi",
             "-i", f"testsrc=size={WIDTH}x{HEIGHT}:rate={FPS}",
             "-frames:v", str(FRAMES), "-c:v", "libx264", "-bf", "0", "-g", str(GOP),
             "-pix_fmt", "yuv420p", "-f", "h264", video])
    assert r.returncode == 0, r.stderr
    audio = []
    for name, rate, seconds, tone in (("a48.adts", 48000, 3, 440), ("a44.adts", 44100, 1.5, 880)):
        path = os.path.join(work, name)
        r = run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi",
                 "-i", f"sine=frequency={tone}:sample_rate={rate}:duration={seconds}",
                 "-ac", "2", "-c:a", "aac", "-b:a", "128k", "-f", "adts", path])
        assert r.returncode == 0, r.stderr
        audio.append(path)
    return video, audio


def count_adts_frames(path):
    data = open(path, "rb").read()
    pos, frames = 0, 0
    while pos + 7 <= len(data):
        assert data[pos] == 0xFF and data[pos + 1] & 0xF0 == 0xF0, "lost ADTS sync"
        length = ((data[pos + 3] & 3) << 11) | (data[pos + 4] << 3) | (data[pos + 5] >> 5)
        pos += length
        frames += 1
    assert pos == len(data)
    return frames


def probe(path):
    r = run(["ffprobe", "-v", "error", "-count_frames", "-show_streams", "-show_format",
             "-of", "json", path])
    assert r.returncode == 0, r.stderr
    return json.loads(r.stdout)


def video_keyframe_indexes(path):
    r = run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
             "packet=flags", "-of", "csv=p=0", path])
    assert r.returncode == 0, r.stderr
    flags = [line.strip() for line in r.stdout.splitlines() if line.strip()]
    return len(flags), [i for i, f in enumerate(flags) if "K" in f]


def main():
    fixture, work = sys.argv[1], sys.argv[2]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    video, (a48, a44) = make_streams(work)
    frames48, frames44 = count_adts_frames(a48), count_adts_frames(a44)
    out = os.path.join(work, "out.mp4")

    # The 44.1 kHz track starts 1.5 s after the video and has an empty name.
    r = run([fixture, video, str(WIDTH), str(HEIGHT), str(FPS), out,
             a48, "Desktop", "0", a44, "", "1500"])
    assert r.returncode == 0, r.stdout + r.stderr
    assert r.stdout.split("\n")[:3] == [f"video {FRAMES} {FRAMES // GOP}",
                                        f"audio {frames48}", f"audio {frames44}"], r.stdout
    assert not os.path.exists(out + ".part")

    info = probe(out)
    streams = info["streams"]
    assert [s["codec_type"] for s in streams] == ["video", "audio", "audio"], streams
    v = streams[0]
    assert v["codec_name"] == "h264" and v["width"] == WIDTH and v["height"] == HEIGHT, v
    assert int(v["nb_read_frames"]) == FRAMES and int(v["nb_frames"]) == FRAMES, v
    assert v["r_frame_rate"] == f"{FPS}/1", v
    assert abs(float(v["duration"]) - FRAMES / FPS) < 0.002, v
    assert abs(float(v.get("start_time", 0))) < 0.001, v
    assert v["tags"]["handler_name"] == "Video", v

    # Audio traks are written from the highest index down: the 44.1 kHz
    # track (index 1, ID 3) first.
    late, desktop = streams[1], streams[2]
    assert desktop["codec_name"] == "aac" and late["codec_name"] == "aac"
    assert desktop["tags"]["handler_name"] == "Desktop", desktop
    assert late["tags"].get("handler_name", "") == "", late
    assert int(desktop["sample_rate"]) == 48000 and int(late["sample_rate"]) == 44100
    assert desktop["channels"] == 2 and late["channels"] == 2
    assert int(desktop["id"], 16) == 2 and int(late["id"], 16) == 3
    assert int(desktop["nb_read_frames"]) == frames48, desktop
    assert int(late["nb_read_frames"]) == frames44, late
    assert abs(float(desktop["duration"]) - frames48 * 1024 / 48000) < 0.002, desktop
    assert abs(float(late["duration"]) - frames44 * 1024 / 44100) < 0.002, late
    assert abs(float(late["start_time"]) - 1.5) < 0.002, late
    assert abs(float(desktop.get("start_time", 0))) < 0.001, desktop

    expected_end = max(FRAMES / FPS, frames48 * 1024 / 48000, 1.5 + frames44 * 1024 / 44100)
    assert abs(float(info["format"]["duration"]) - expected_end) < 0.002, info["format"]

    packets, keys = video_keyframe_indexes(out)
    assert packets == FRAMES and keys == list(range(0, FRAMES, GOP)), keys

    r = run(["ffmpeg", "-v", "error", "-i", out, "-map", "0", "-f", "null", "-"])
    assert r.returncode == 0 and r.stdout == "" and r.stderr == "", r.stderr
    print("ok")


if __name__ == "__main__":
    main()
