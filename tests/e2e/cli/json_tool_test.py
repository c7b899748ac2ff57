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

# (input bytes, expected standard output) for documents that parse.
VALID = [
    (b"{}", b"{}\n"),
    (b"[]", b"[]\n"),
    (b" null ", b"null\n"),
    (b'{"a":[1,2.5],"b":{}}',
     b'{\n  "a": [\n    1,\n    2.5\n  ],\n  "b": {}\n}\n'),
    (BOM + b'{"x":true}', b'{\n  "x": true\n}\n'),
    (b'{"b":0,"a":1,"b":2}', b'{\n  "b": 2,\n  "a": 1\n}\n'),
    (b"[+1,01,.5,5.,1E2,1e-999,-0,1e15,1e17,0.1,999999999999999]",
     b"[\n  1,\n  1,\n  0.5,\n  5,\n  100,\n  0,\n  0,\n  1000000000000000,\n"
     b"  1e+17,\n  0.10000000000000001,\n  999999999999999\n]\n"),
    (b'"\\u00e9\\ud83d\\ude00\\udc00\\u0001\\/\\t\\f"',
     b'"\xc3\xa9\xf0\x9f\x98\x80\xed\xb0\x80\\u0001/\\t\\u000c"\n'),
    (b'"a\\u0000b\x7f\xff"', b'"a\\u0000b\x7f\xff"\n'),
    (b"[[[{\"k\":[]}]]]",
     b'[\n  [\n    [\n      {\n        "k": []\n      }\n    ]\n  ]\n]\n'),
]

# (input bytes, expected standard error) for documents that do not.
INVALID = [
    (b"", b"unexpected end of input at offset 0\n"),
    (b'{"a" 1}', b"expected ':' at offset 5\n"),
    (b"{} x", b"unexpected trailing characters at offset 3\n"),
    (BOM + b"{} x", b"unexpected trailing characters at offset 3\n"),
    (BOM, b"unexpected end of input at offset 0\n"),
    (b"[1,]", b"unexpected character at offset 3\n"),
    (b'{"a":1,}', b"expected object key at offset 7\n"),
    (b"tru", b"invalid literal at offset 0\n"),
    (b"1e400", b"invalid number at offset 5\n"),
    (b'"\\ud83d"', b"unpaired surrogate at offset 7\n"),
    (b'"a\tb"', b"control character in string at offset 3\n"),
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
