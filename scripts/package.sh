#!/usr/bin/env bash
# Makes the Windows release zip and prints its path: configures and builds
# the windows preset where something is out of date, then runs CPack
# (packaging/CMakeLists.txt says what goes into the zip).
#
#   scripts/package.sh                       build/windows/Kaptora-<version>-win-x64.zip
#   scripts/package.sh --check-reproducible  builds the last commit twice from
#       scratch in two different folders (no compiler cache) and compares
#       Kaptora.exe and the zip byte for byte; exit 1 when they differ.
#
# The zip entries carry SOURCE_DATE_EPOCH (default: the last commit's time)
# in UTC, so the same commit gives the same zip anywhere.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"

mode="${1:-}"
case "$mode" in
  "" | --check-reproducible) ;;
  *) echo "usage: scripts/package.sh [--check-reproducible]" >&2; exit 2 ;;
esac

bash scripts/setup.sh >&2
export TZ=UTC
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH="$(git log -1 --format=%ct 2>/dev/null || true)"
  [ -n "$SOURCE_DATE_EPOCH" ] || unset SOURCE_DATE_EPOCH
fi
[ -z "${SOURCE_DATE_EPOCH:-}" ] || export SOURCE_DATE_EPOCH

# package <source folder> [cmake options]: builds its windows preset (with
# the options, all of it without) and makes the zip there; prints the zip's
# path. Everything but the path goes to standard error.
package() {
  (
    cd "$1"
    shift
    cmake --preset windows "$@" >&2
    if [ $# -eq 0 ]; then
      cmake --build --preset windows -j 2 >&2
    else
      cmake --build --preset windows -j 2 --target Kaptora >&2
    fi
    cd build/windows
    cpack >&2
    version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' CMakeCache.txt)"
    zip="$(pwd)/Kaptora-$version-win-x64.zip"
    [ -f "$zip" ] || { echo "package: CPack made no $zip" >&2; exit 1; }
    echo "$zip"
  )
}

if [ -z "$mode" ]; then
  package "$root"
  exit 0
fi

# Two copies of the last commit at different depths and name lengths, so a
# path that leaks into a binary shows up as a difference.
scratch="$(mktemp -d /tmp/kaptora-reproducible-XXXXXX)"
trap 'rm -rf "$scratch"' EXIT
copies=("$scratch/a" "$scratch/second/copy-of-the-tree")
zips=()
for copy in "${copies[@]}"; do
  mkdir -p "$copy"
  git archive HEAD | tar -x -C "$copy"
  echo "package: building $(git rev-parse --short HEAD) in $copy" >&2
  # Only the exe, not the test programs: CPack then skips its "build all".
  zips+=("$(CCACHE_DISABLE=1 package "$copy" -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON)")
done

same=1
for name in Kaptora.exe zip; do
  files=()
  for zip in "${zips[@]}"; do
    if [ "$name" = zip ]; then files+=("$zip"); else files+=("$(dirname "$zip")/Kaptora.exe"); fi
  done
  for f in "${files[@]}"; do
    echo "$(sha256sum "$f" | cut -d' ' -f1)  $(stat -c %s "$f") bytes  ${f#"$scratch"/}"
  done
  if ! cmp -s "${files[0]}" "${files[1]}"; then
    echo "package: the two builds' $name differ" >&2
    same=0
  fi
done
if [ "$same" -eq 1 ]; then
  echo "package: reproducible: both builds gave identical Kaptora.exe and zip"
else
  exit 1
fi
