#!/usr/bin/env python3
"""Mutation testing of the portable core, on demand (not part of CI).

Plants one small fault at a time in src/ -- a flipped operator, an integer
constant off by one, a dropped statement, a negated condition -- rebuilds only
the unit-test executables of the module the file belongs to (and of any
module whose unit tests include the file's header), and runs them.
A mutant is killed when a test fails or runs past its time limit, survives when
every test passes, and is left out of the rate when it does not compile or
compiles to the same object code as the original.

The sample is drawn with a fixed seed from every candidate site in the core
files, so two runs over the same src/ draw the same mutants whatever tests/
holds: that is how a change to the tests is measured.

usage: scripts/mutate.py [--seed N] [--count N] [--minutes M] [--report FILE]
                         [--build DIR] [--files REGEX] [--list]
"""
import argparse
import hashlib
import json
import os
import random
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
MODULES = ["platform", "app", "config", "media", "video", "audio", "engine",
           "export", "update"]
# Operating-system edges, codec and device stand-ins are not the portable core.
EXCLUDED = re.compile(r"(_win|_posix)\.cpp$|/(ffmpeg_|sim_|tone_audio_device|main_)")


def log(text):
    print(text, flush=True)


def run(cmd, timeout=None, cwd=ROOT):
    try:
        done = subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=timeout)
        return done.returncode, done.stdout.decode(errors="replace")
    except subprocess.TimeoutExpired:
        return None, ""


# ---- candidate sites --------------------------------------------------------

def mask_literals(line):
    """The line with string and character literal contents blanked, and the
    text after a // comment cut, so no site is found inside them."""
    out, i, quote = [], 0, None
    while i < len(line):
        c = line[i]
        if quote:
            if c == "\\":
                out.append("__")
                i += 2
                continue
            out.append(c if c == quote else "_")
            if c == quote:
                quote = None
        elif c in "\"'":
            # A digit separator (1'000) is not a character literal.
            if c == "'" and i > 0 and line[i - 1].isalnum() and i + 1 < len(line) and line[i + 1].isalnum():
                out.append(c)
            else:
                quote = c
                out.append(c)
        elif line.startswith("//", i):
            break
        else:
            out.append(c)
        i += 1
    return "".join(out).ljust(len(line))


OPERATORS = [(" <= ", " < "), (" < ", " <= "), (" >= ", " > "), (" > ", " >= "),
             (" == ", " != "), (" != ", " == "), (" && ", " || "), (" || ", " && "),
             (" + ", " - "), (" - ", " + "), (" += ", " -= "), (" -= ", " += ")]
CONSTANT = re.compile(r"(?<![\w.])(\d+)(?![\w.'])")
STATEMENT = re.compile(r"^\s*(?!return\b|case\b|default\b|break\b|continue\b|const\b|auto\b|"
                       r"static\b|using\b|std::\w+\s+\w|[A-Z]\w*\s+\w)"
                       r"[\w.:\->\[\]*]+\s*(\(.*\)|[-+*/|&]?=[^=].*|\+\+|--)\s*;\s*$")
CONDITION = re.compile(r"\b(if|while)\s*\(")


def closing_paren(text, start):
    depth = 0
    for i in range(start, len(text)):
        if text[i] == "(":
            depth += 1
        elif text[i] == ")":
            depth -= 1
            if depth == 0:
                return i
    return -1


def sites_in(path):
    rel = path.relative_to(ROOT).as_posix()
    lines = path.read_text().split("\n")
    found, in_block = [], False
    for number, line in enumerate(lines, 1):
        stripped = line.strip()
        if in_block:
            in_block = "*/" not in stripped
            continue
        if stripped.startswith("/*"):
            in_block = "*/" not in stripped
            continue
        if not stripped or stripped.startswith(("//", "#", "*")) or "static_assert" in line:
            continue
        masked = mask_literals(line)

        def add(kind, col, old, new):
            found.append({"file": rel, "line": number, "col": col, "kind": kind,
                          "old": old, "new": new})

        for old, new in OPERATORS:
            for m in re.finditer(re.escape(old), masked):
                # "a < b" inside a template argument list is not a comparison.
                if old.strip() in "<>" and "template" in masked:
                    continue
                add("operator", m.start(), old, new)
        for m in CONSTANT.finditer(masked):
            before = masked[:m.start()]
            if re.search(r"(\[\s*$|\bcase\s+$|<\s*$|0x$)", before):
                continue
            value = int(m.group(1))
            add("constant", m.start(), m.group(1), str(value + 1))
        if STATEMENT.match(masked) and not stripped.endswith("{"):
            add("statement", 0, line, re.match(r"\s*", line).group(0) + ";")
        for m in CONDITION.finditer(masked):
            open_at = masked.index("(", m.start())
            close_at = closing_paren(masked, open_at)
            if close_at > 0:
                cond = line[open_at + 1:close_at]
                add("negate", open_at + 1, cond, "!(" + cond + ")")
    return found


def core_files(compiled):
    for module in MODULES:
        for path in sorted((ROOT / "src" / module).glob("*.cpp")):
            rel = path.relative_to(ROOT).as_posix()
            if not EXCLUDED.search("/" + rel) and str(path) in compiled:
                yield module, path


def apply(text_lines, site):
    line = text_lines[site["line"] - 1]
    if site["kind"] == "statement":
        mutated = site["new"]
    else:
        col = site["col"]
        assert line[col:col + len(site["old"])] == site["old"], site
        mutated = line[:col] + site["new"] + line[col + len(site["old"]):]
    out = list(text_lines)
    out[site["line"] - 1] = mutated
    return "\n".join(out)


# ---- build and test ----------------------------------------------------------

def unit_targets(module):
    text = (ROOT / "tests" / "unit" / module / "CMakeLists.txt").read_text()
    return re.findall(r"kp_add_unit_test\(\s*(\w+)", text)


def covering_modules(rel, module):
    """The file's own module, then every module whose unit tests include the
    file's header: a reader tested where it is used still counts as tested."""
    header = '#include "%s.h"' % rel[len("src/"):-len(".cpp")]
    found = [module]
    for other in MODULES:
        folder = ROOT / "tests" / "unit" / other
        if other != module and any(header in f.read_text() for f in folder.glob("*.[ch]*")):
            found.append(other)
    return found


def targets_of(modules):
    return [(m, t) for m in modules for t in unit_targets(m)]


def executable(build, module, target):
    return build / "tests" / "unit" / module / target


def digest(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest() if Path(path).exists() else None


def configure(build):
    code, out = run(["cmake", "-S", str(ROOT), "-B", str(build), "-G", "Ninja",
                     "-DCMAKE_BUILD_TYPE=None", "-DCMAKE_CXX_FLAGS=-O1",
                     "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON"])
    if code != 0:
        sys.exit("configure failed:\n" + out)
    commands = json.loads((build / "compile_commands.json").read_text())
    return {str(Path(c["directory"], c["file"]).resolve()):
            Path(c["directory"], re.search(r"-o (\S+)", c["command"]).group(1)) for c in commands}


def run_tests(build, covering, limits):
    for module, target in targets_of(covering):
        exe = executable(build, module, target)
        code, out = run([str(exe), "--gtest_fail_fast", "--gtest_brief=1"],
                        timeout=limits[target])
        if code is None:
            return "killed", target + ": time limit"
        if code != 0:
            failed = re.findall(r"\[  FAILED  \] (\S+)", out)
            return "killed", target + ": " + (failed[0] if failed else "exit %d" % code)
    return "survived", ""


def stop_on_term(signum, frame):
    raise KeyboardInterrupt


def main():
    signal.signal(signal.SIGTERM, stop_on_term)
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seed", type=int, default=20261207)
    parser.add_argument("--count", type=int, default=160)
    parser.add_argument("--minutes", type=float, default=60)
    parser.add_argument("--build", default=str(ROOT / "build" / "mutation"))
    parser.add_argument("--report", default=str(ROOT / "build" / "mutation-report.txt"))
    parser.add_argument("--list", action="store_true", help="print the sample and stop")
    parser.add_argument("--files", default="", help="run only the sampled mutants in files "
                        "matching this regular expression (the sample itself is unchanged)")
    args = parser.parse_args()
    build = Path(args.build).resolve()
    started = time.monotonic()

    objects = configure(build)
    modules = {}
    sites = []
    for module, path in core_files(objects):
        rel = path.relative_to(ROOT).as_posix()
        modules[rel] = covering_modules(rel, module)
        sites.extend(sites_in(path))
    sample = random.Random(args.seed).sample(sites, min(args.count, len(sites)))
    sample.sort(key=lambda s: (s["file"], s["line"], s["col"], s["kind"]))
    sample = [s for s in sample if re.search(args.files, s["file"])]
    if args.list:
        for s in sample:
            print("%s:%d %s %r -> %r" % (s["file"], s["line"], s["kind"], s["old"].strip(), s["new"].strip()))
        return 0

    covered = sorted({m for ms in modules.values() for m in ms})
    targets = [t for _, t in targets_of(covered)]
    log("building %d unit-test executables" % len(targets))
    code, out = run(["cmake", "--build", str(build), "--target", *targets])
    if code != 0:
        sys.exit("build failed:\n" + out[-4000:])
    limits = {}
    for module in covered:
        for target in unit_targets(module):
            t0 = time.monotonic()
            code, out = run([str(executable(build, module, target)), "--gtest_brief=1"])
            if code != 0:
                sys.exit("unit tests fail before any mutation: %s\n%s" % (target, out[-3000:]))
            limits[target] = 3 * (time.monotonic() - t0) + 10
    original_objects = {f: digest(objects[str((ROOT / f).resolve())]) for f in modules}

    src_tree = run(["git", "rev-parse", "HEAD:src"])[1].strip()
    dirty = run(["git", "status", "--porcelain", "--", "src"])[1].strip()
    tests_tree = run(["git", "rev-parse", "HEAD:tests"])[1].strip()
    lines = ["mutation run: seed %d, %d of %d candidate sites, src tree %s%s, tests tree %s"
             % (args.seed, len(sample), len(sites), src_tree, " (modified)" if dirty else "", tests_tree)]
    counts = {}
    for index, site in enumerate(sample, 1):
        if time.monotonic() - started > args.minutes * 60:
            status, detail = "not run", "time budget spent"
        else:
            path = ROOT / site["file"]
            original = path.read_text()
            path.write_text(apply(original.split("\n"), site))
            try:
                covering = modules[site["file"]]
                code, out = run(["cmake", "--build", str(build), "--target",
                                 *[t for _, t in targets_of(covering)]], timeout=600)
                if code != 0:
                    status, detail = "no compile", ""
                elif digest(objects[str(path.resolve())]) == original_objects[site["file"]]:
                    status, detail = "equivalent", "same object code"
                else:
                    status, detail = run_tests(build, covering, limits)
            finally:
                path.write_text(original)
        counts[status] = counts.get(status, 0) + 1
        entry = "%-10s %s:%d [%s] %r -> %r %s" % (status, site["file"], site["line"], site["kind"],
                                                 site["old"].strip()[:60], site["new"].strip()[:60], detail)
        lines.append(entry)
        log("%3d/%d %s" % (index, len(sample), entry))
    # Leave the build matching the restored sources.
    run(["cmake", "--build", str(build), "--target", *targets])

    killed, survived = counts.get("killed", 0), counts.get("survived", 0)
    rate = 100.0 * killed / (killed + survived) if killed + survived else 0.0
    summary = ("killed %d, survived %d, no compile %d, equivalent %d, not run %d: kill rate %.1f %% "
               "in %.1f min" % (killed, survived, counts.get("no compile", 0), counts.get("equivalent", 0),
                                counts.get("not run", 0), rate, (time.monotonic() - started) / 60))
    lines.append(summary)
    Path(args.report).write_text("\n".join(lines) + "\n")
    log(summary)
    log("report: " + args.report)
    return 0


if __name__ == "__main__":
    sys.exit(main())
