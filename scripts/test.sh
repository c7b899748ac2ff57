#!/usr/bin/env bash
# Runs every test on a fresh Debian 12 machine: installs what is missing,
# builds the Linux, sanitizer and Windows presets, runs the unit and
# end-to-end suites, ThreadSanitizer on the threaded tests, a short fuzz run,
# makes the Windows release zip, and runs the Windows binaries and that zip
# under Wine. Exits non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

jobs=2
suites=0
step() { printf '\n=== %s\n' "$*"; }

step "Linux build"
cmake --preset linux >/dev/null
cmake --build --preset linux -j "$jobs"

step "Linux unit and end-to-end tests"
ctest --preset linux -j "$jobs" --no-tests=error
suites=$((suites + 1))

step "AddressSanitizer + UndefinedBehaviorSanitizer: unit tests"
cmake --preset sanitize >/dev/null
cmake --build --preset sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --preset sanitize -j "$jobs" --no-tests=error
suites=$((suites + 1))

step "ThreadSanitizer: threaded tests"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --preset tsan -j "$jobs" --no-tests=error
suites=$((suites + 1))

step "Fuzzing (short run)"
bash scripts/run_fuzz.sh 90
suites=$((suites + 1))

step "Windows cross build"
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"

step "Windows release zip"
bash scripts/package.sh

step "Windows binaries under Wine"
bash tests/wine/run_wine_tests.sh
suites=$((suites + 1))

printf '\nsuites: %d passed, 0 failed\n' "$suites"
