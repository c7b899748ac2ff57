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
# here the tool's bytes on standard output and error (binary mode on Windows:
# no carriage returns) and its exit codes.
VALID = [
    (BOM + b'{"a":[1,2.5],"b":{},"a":[]}', b'{\n  "a": [],\n  "b": {}\n}\n'),
    (b'[-0,1e17,0.1,"\\u00e9\\u0001\\/"]', b'[\n  0,\n  1e+17,\n  0.10000000000000001,\n  "\xc3\xa9\\u0001/"\n]\n'),
]
INVALID = [
    (b"", b"unexpected end of input at offset 0\n"),
    (BOM + b"{} x", b"unexpected trailing characters at offset 3\n"),
    (b"[" * 65 + b"1" + b"]" * 65, b"nesting too deep at offset 65\n"),
]


WINE = False


def native(path):
    """The path as the tool under test spells it."""
    return "Z:" + path.replace("/", "\\") if WINE else path


def command(tool, args):
    return (["wine", tool] if WINE else [tool]) + [native(a) for a in args]


def run(tool, data, folder, index):
    path = os.path.join(folder, "doc%d.json" % index)
    with open(path, "wb") as f:
        f.write(data)
    return subprocess.run(command(tool, [path]), capture_output=True, timeout=30)


def main():
    global WINE
    args = sys.argv[1:]
    WINE = "--wine" in args
    args = [a for a in args if a != "--wine"]
    if len(args) != 1:
        print(__doc__)
        return 2
    tool = args[0]
    failures = []
    with tempfile.TemporaryDirectory() as folder:
        index = 0
        for data, expected in VALID:
            index += 1
            r = run(tool, data, folder, index)
            if (r.returncode, r.stdout, r.stderr) != (0, expected, b""):
                failures.append("valid %r: rc=%d out=%r err=%r" % (data, r.returncode, r.stdout, r.stderr))
            # The tool's own output is a document it reads back unchanged.
            index += 1
            again = run(tool, r.stdout, folder, index)
            if (again.returncode, again.stdout) != (0, r.stdout):
                failures.append("not a fixed point %r: %r" % (data, again.stdout))
        for data, expected in INVALID:
            index += 1
            r = run(tool, data, folder, index)
            if (r.returncode, r.stdout, r.stderr) != (1, b"", expected):
                failures.append("invalid %r: rc=%d out=%r err=%r" % (data, r.returncode, r.stdout, r.stderr))

        usage_cases = [[], [os.path.join(folder, "doc1.json")] * 2, [os.path.join(folder, "missing.json")], [folder]]
        for args in usage_cases:
            r = subprocess.run(command(tool, args), capture_output=True, timeout=30)
            lines = r.stderr.splitlines()
            if r.returncode != 2 or r.stdout != b"" or len(lines) != 1 or not r.stderr.endswith(b"\n"):
                failures.append("usage %r: rc=%d out=%r err=%r" % (args, r.returncode, r.stdout, r.stderr))

    for failure in failures:
        print(failure)
    print("%d failure(s)" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
