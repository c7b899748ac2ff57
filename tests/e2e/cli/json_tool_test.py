#!/usr/bin/env python3
"""End-to-end check of kaptora-json: exact output bytes and exit codes.

Usage: json_tool_test.py [--wine] <path to kaptora-json>
With --wine the tool is the Windows build, run under Wine; its output must be
the same bytes (binary mode: no carriage returns).
"""
import os
import subprocess
import sys
import tempfile

BOM = b"\xef\xbb\xbf"
# What the parser and writer accept and print is pinned by their unit tests;
# here the tool's bytes and exit codes: (input, exit code, stdout, stderr).
CASES = [
    (BOM + b'{"a":[1,2.5],"b":{},"a":[]}', 0, b'{\n  "a": [],\n  "b": {}\n}\n', b""),
    (b'[-0,1e17,0.1,"\\u00e9\\u0001\\/"]', 0, b'[\n  0,\n  1e+17,\n  0.10000000000000001,\n  "\xc3\xa9\\u0001/"\n]\n',
     b""),
    (b"", 1, b"", b"unexpected end of input at offset 0\n"),
    (BOM + b"{} x", 1, b"", b"unexpected trailing characters at offset 3\n"),
    (b"[" * 65 + b"1" + b"]" * 65, 1, b"", b"nesting too deep at offset 65\n"),
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
            path = os.path.join(folder, name)
            with open(path, "wb") as f:
                f.write(data)
            return run(path)

        for index, (data, code, out, err) in enumerate(CASES):
            r = run_on(data, "doc%d.json" % index)
            if (r.returncode, r.stdout, r.stderr) != (code, out, err):
                failures.append("%r: rc=%d out=%r err=%r" % (data, r.returncode, r.stdout, r.stderr))
            if code == 0:  # the tool's own output is a document it reads back unchanged
                again = run_on(r.stdout, "again%d.json" % index)
                if (again.returncode, again.stdout) != (0, r.stdout):
                    failures.append("not a fixed point %r: %r" % (data, again.stdout))

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
