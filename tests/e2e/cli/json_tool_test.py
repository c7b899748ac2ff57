#!/usr/bin/env python3
"""kaptora-json's output bytes and exit codes (what the parser and writer
accept and print is pinned by their unit tests).

Usage: json_tool_test.py [--wine] <path to kaptora-json>
With --wine the tool is the Windows build under Wine; its output must be the
same bytes (binary mode: no carriage returns).
"""
import os
import subprocess
import sys
import tempfile

# (input, exit code, stdout, stderr)
CASES = [
    (b'\xef\xbb\xbf{"a":[1,2.5],"b":{},"a":[]}', 0, b'{\n  "a": [],\n  "b": {}\n}\n', b""),
    (b'["\\u00e9\\u0001\\/",0.1]', 0, b'[\n  "\xc3\xa9\\u0001/",\n  0.10000000000000001\n]\n', b""),
    (b"{} x", 1, b"", b"unexpected trailing characters at offset 3\n"),
]


def main():
    args = [a for a in sys.argv[1:] if a != "--wine"]
    wine = "--wine" in sys.argv[1:]
    if len(args) != 1:
        print(__doc__)
        return 2

    def run(*paths):  # the paths as the tool under test spells them
        native = ["Z:" + p.replace("/", "\\") if wine else p for p in paths]
        return subprocess.run((["wine"] if wine else []) + [args[0]] + native, capture_output=True, timeout=30)

    failures = []
    with tempfile.TemporaryDirectory() as folder:
        def run_on(data, name):
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
            return run(os.path.join(folder, name))

        for index, (data, code, out, err) in enumerate(CASES):
            r = run_on(data, "doc%d.json" % index)
            if (r.returncode, r.stdout, r.stderr) != (code, out, err):
                failures.append("%r: rc=%d out=%r err=%r" % (data, r.returncode, r.stdout, r.stderr))
            if code == 0 and run_on(r.stdout, "again.json").stdout != r.stdout:
                failures.append("its own output does not read back unchanged: %r" % data)

        for paths in [[], [os.path.join(folder, "doc0.json")] * 2, [os.path.join(folder, "missing.json")], [folder]]:
            r = run(*paths)
            if r.returncode != 2 or r.stdout != b"" or len(r.stderr.splitlines()) != 1 or not r.stderr.endswith(b"\n"):
                failures.append("usage %r: rc=%d out=%r err=%r" % (paths, r.returncode, r.stdout, r.stderr))

    for failure in failures:
        print(failure)
    print("%d failure(s)" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
