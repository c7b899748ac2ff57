#!/usr/bin/env python3
"""ExportClip end to end, judged by ffprobe and ffmpeg.

The fixture exports a scripted 6 s source (30 fps, picture n with luma
16 + (n * 37) % 220, two audio streams) keeping 1-2 s and 3-4.5 s. Then:
- the MP4 has one H.264 stream of 75 pictures lasting 2.5 s, and two AAC
  streams named by the source's handler names ("Desktop Audio" from the last
  trak of the input, "Microphone"), each, apart from the encoder's priming
  frame, as long as the video within one AAC frame;
- the decoded pictures are exactly the source pictures whose midpoints lie
  in the kept ranges, in order (the video went through the scratch file and
  back intact).

usage: export_test.py <kp_export_fixture> <work folder>
"""
import json
import os
import shutil
import subprocess
import sys

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAILED:", what)


def main():
    fixture, work = sys.argv[1], sys.argv[2]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    run = subprocess.run([fixture, work], capture_output=True, text=True, timeout=120)
    print(run.stdout, run.stderr)
    check(run.returncode == 0 and run.stdout.strip() == "ok", "fixture exported")
    out = os.path.join(work, "out.mp4")
    check(not os.path.exists(out + ".video.tmp"), "no scratch file left")
    if failures:
        return 1

    probe = json.loads(subprocess.run(
        ["ffprobe", "-v", "error", "-show_streams", "-count_frames", "-of", "json", out],
        capture_output=True, text=True, check=True).stdout)
    streams = probe["streams"]
    video = [s for s in streams if s["codec_type"] == "video"]
    audio = [s for s in streams if s["codec_type"] == "audio"]
    check(len(video) == 1 and video[0]["codec_name"] == "h264", "one H.264 stream")
    check(int(video[0]["nb_read_frames"]) == 75, "75 pictures, got %s" % video[0]["nb_read_frames"])
    video_duration = float(video[0]["duration"])
    check(abs(video_duration - 2.5) < 0.001, "video lasts 2.5 s, got %f" % video_duration)
    names = sorted(s.get("tags", {}).get("handler_name", "") for s in audio)
    check(names == ["Desktop Audio", "Microphone"], "audio track names %s" % names)
    for s in audio:
        check(s["codec_name"] == "aac" and int(s["sample_rate"]) == 48000 and int(s["channels"]) == 2,
              "AAC 48 kHz stereo")
        # ffprobe counts every packet, the encoder's priming frame too.
        d = float(s["duration"]) - 1024 / 48000
        check(abs(d - video_duration) <= 1024 / 48000 + 1e-6,
              "audio %s lasts %f, video %f" % (s.get("tags", {}).get("handler_name"), d, video_duration))

    # Kept source pictures: midpoint n/30 + 1/60 within [1, 2) or [3, 4.5).
    tick = 10_000_000
    frame = tick // 30
    kept = [n for n in range(180)
            if any(a <= n * frame + frame // 2 < b for a, b in ((tick, 2 * tick), (3 * tick, 45 * tick // 10)))]
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", out, "-f", "rawvideo", "-pix_fmt", "yuv420p", "-"],
                         capture_output=True, check=True).stdout
    luma = 64 * 48
    size = luma * 3 // 2
    pictures = [raw[i:i + luma] for i in range(0, len(raw), size)]
    check(len(pictures) == len(kept), "decoded %d pictures, expected %d" % (len(pictures), len(kept)))
    for index, (picture, n) in enumerate(zip(pictures, kept)):
        want = 16 + (n * 37) % 220
        if set(picture) != {want}:
            check(False, "picture %d should be source picture %d (luma %d)" % (index, n, want))
            break

    print("failures:", len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
