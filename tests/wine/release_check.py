#!/usr/bin/env python3
"""The release zip under Wine (run by run_wine_tests.sh: xvfb-run, WINEPREFIX set).

Usage: release_check.py <build folder of the windows preset> <CMake project version>

The zip that scripts/package.sh made in the build folder (from the last
commit: its entries must carry that commit's time) holds exactly the
release files, with the commit's time on every entry and CR LF text; its
Kaptora.exe carries the CMake version in its version resource and no link
time. Unpacked into a fresh folder with nothing beside it, the exe reports
that no engine runs, and runs the tray engine, which makes its window and
ends on `stop` with 0.
"""
import os
import struct
import subprocess
import sys
import tempfile
import time
import zipfile

from exe_check import check, failures, run, start, wait_for, windows_path

RELEASE_FILES = {"Kaptora.exe", "README.txt", "LICENSE", "updates.example.json", "licenses/GPL-3.0.txt",
                 "licenses/GCC-exception-3.1.txt", "licenses/mingw-w64.txt", "licenses/winpthreads.txt"}


def check_exe_image(exe, version):
    image = open(exe, "rb").read()
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    check(image[pe:pe + 4] == b"PE\0\0" and struct.unpack_from("<I", image, pe + 8)[0] == 0,
          "the PE header holds no link time")
    fixed = image.find(struct.pack("<I", 0xFEEF04BD))
    numbers = tuple(int(part) for part in version.split(".")) + (0,)
    if check(fixed > 0, "the exe has a version resource"):
        file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<4I", image, fixed + 8)
        found = [(ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF) for ms, ls in ((file_ms, file_ls),
                                                                              (product_ms, product_ls))]
        check(found == [numbers, numbers], "file and product version numbers are %s (got %s)" % (numbers, found))


def commit_time():
    if os.environ.get("SOURCE_DATE_EPOCH"):
        return int(os.environ["SOURCE_DATE_EPOCH"])
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
    result = subprocess.run(["git", "-C", root, "log", "-1", "--format=%ct"], capture_output=True, text=True)
    return int(result.stdout) if result.returncode == 0 and result.stdout.strip().isdigit() else None


def check_zip(zip_path, folder):
    with zipfile.ZipFile(zip_path) as archive:
        entries = archive.infolist()
        names = sorted(entry.filename for entry in entries if not entry.is_dir())
        check(set(names) == RELEASE_FILES and len(names) == len(RELEASE_FILES),
              "the zip holds exactly the release files (got %s)" % names)
        epoch = commit_time()
        if epoch is not None:
            # Entry times are local time in 2-second steps; package.sh zips in UTC.
            expected = time.gmtime(epoch - epoch % 2)[:6]
            times = {entry.date_time for entry in entries}
            check(times == {expected}, "every entry has the commit's time %s (got %s)" % (expected, sorted(times)))
        archive.extractall(folder)
    texts = {name: open(os.path.join(folder, name), "rb").read() for name in RELEASE_FILES - {"Kaptora.exe"}}
    lf_only = sorted(name for name, text in texts.items() if text.count(b"\n") != text.count(b"\r\n"))
    check(not lf_only, "text files have CR LF line ends (not: %s)" % lf_only)


def check_unpacked_exe(build, exe, folder):
    probe = os.path.join(build, "tests", "host", "host_probe_win.exe")
    code, _, stderr, _ = run([exe, "stop"], timeout=60)
    check(code == 1 and "Kaptora is not running" in stderr,
          "stop without an engine: \"Kaptora is not running\", exit 1 (got %s, %r)" % (code, stderr))

    settings = os.path.join(folder, "settings", "settings.json")
    engine = start([exe, "--settings", windows_path(settings)])
    try:
        check(wait_for(lambda: run([probe, "find"], timeout=60)[0] == 0, 60), "the engine makes its window")
        code = run([exe, "stop"], timeout=60)[0]
        check(code == 0, "stop with the engine running exits with 0 (got %s)" % code)
        try:
            check(engine.wait(timeout=60) == 0, "the engine ends on stop with 0")
        except subprocess.TimeoutExpired:
            check(False, "the engine ends on stop within 60 s")
    finally:
        if engine.poll() is None:
            engine.kill()
            engine.wait()


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    build, version = sys.argv[1], sys.argv[2]
    zip_path = os.path.join(build, "Kaptora-%s-win-x64.zip" % version)
    if check(os.path.isfile(zip_path), "scripts/package.sh made " + os.path.basename(zip_path)):
        with tempfile.TemporaryDirectory(prefix="kaptora-release-") as folder:
            unpacked = os.path.join(folder, "Kaptora")
            check_zip(zip_path, unpacked)
            exe = os.path.join(unpacked, "Kaptora.exe")
            check_exe_image(exe, version)
            check_unpacked_exe(build, exe, folder)
    print("release: %d failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
