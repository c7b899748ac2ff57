#!/usr/bin/env python3
"""Kaptora.exe's import table against the checked-in list of imports whose
first Windows version is confirmed (windows_imports.txt beside this file).

Every function the exe imports must be on the list, and none on the list may
need a Windows newer than the minimum the README states (Windows 10 version
1703, build 15063). A new import fails here until its first version is looked
up and it is added. Functions resolved at run time with GetProcAddress are not
imports and need no entry.

usage: import_check.py <Kaptora.exe>
"""
import os
import re
import subprocess
import sys

MINIMUM = (10, 0, 15063)


def version(text):
    return tuple(int(part) for part in text.split("."))


def imports(exe):
    """{(dll, function)} from the PE import table, dll names in lower case."""
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", exe], capture_output=True, text=True, check=True).stdout
    found, dll = set(), None
    for line in dump.splitlines():
        name = re.match(r"\s*DLL Name: (\S+)", line)
        if name:
            dll = name.group(1).lower()
            continue
        if line and not line[0].isspace():
            dll = None  # the next part of the dump
            continue
        entry = re.match(r"\s+[0-9a-fA-F]+\s+\d+\s+(\S+)\s*$", line)
        if dll and entry:
            found.add((dll, entry.group(1)))
    return found


def listed(path):
    """{(dll, function): first version} from lines of '<dll> <version> <function>...'."""
    entries = {}
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            fields = line.split("#", 1)[0].split()
            if fields and (len(fields) < 3 or not re.fullmatch(r"\d+(\.\d+)*", fields[1])):
                sys.exit("%s:%d: expected '<dll> <first Windows version> <function>...'" % (path, number))
            for function in fields[2:]:
                entries[(fields[0].lower(), function)] = version(fields[1])
    return entries


def main():
    exe = sys.argv[1]
    known = listed(os.path.join(os.path.dirname(os.path.abspath(__file__)), "windows_imports.txt"))
    used = imports(exe)
    failures = []
    if not used:
        failures.append("no imports read from %s" % exe)
    for dll, function in sorted(used - set(known)):
        failures.append("%s!%s is imported but its first Windows version is not confirmed" % (dll, function))
    for (dll, function), first in sorted(known.items()):
        if first > MINIMUM and (dll, function) in used:
            failures.append("%s!%s needs Windows %s, newer than the minimum %s" %
                            (dll, function, ".".join(map(str, first)), ".".join(map(str, MINIMUM))))
    for line in failures:
        print("FAIL " + line)
    print("imports: %d checked, %d failures" % (len(used), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
