#!/bin/sh
# Builds and runs the media benchmarks; prints every figure with its target.
# usage: bench/run_media_bench.sh [BUILD_DIR] [WORK_DIR] [extra media_bench options]
# WORK_DIR (default: a folder under /var/tmp) must be on the file system to
# measure; about 5 GiB of free space are needed. Needs ffmpeg, dd and cp.
#
# Run as root, it then also measures saves where the file system clones
# blocks: it installs xfsprogs when mkfs.xfs is missing, makes a 4-GiB XFS
# image with reflink beside WORK_DIR, loop-mounts it, runs the clone-save
# figures there, and unmounts and deletes it again (also when interrupted).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build/linux}
work=${2:-/var/tmp/kaptora-media-bench}
[ $# -ge 1 ] && shift
[ $# -ge 1 ] && shift
cmake --build "$build" -j2 --target media_bench >/dev/null
"$build/bench/media_bench" "$work" "$@" 2>/dev/null

if [ "$(id -u)" -ne 0 ]; then
  echo "== clone saves: skipped (needs root for a loop-mounted XFS image)"
  exit 0
fi
if ! command -v mkfs.xfs >/dev/null 2>&1; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends xfsprogs >/dev/null
fi
image="$work-xfs.img"
mnt="$work-xfs"
cleanup() {
  if mountpoint -q "$mnt" 2>/dev/null; then umount "$mnt"; fi
  rm -rf "$mnt" "$image"
}
trap cleanup EXIT INT TERM
cleanup
truncate -s 4G "$image"
mkfs.xfs -q -m reflink=1 "$image"
mkdir -p "$mnt"
mount -o loop "$image" "$mnt"
echo "== XFS image with reflink, loop-mounted on $mnt"
"$build/bench/media_bench" "$mnt/bench" --clone-saves 1 "$@" 2>/dev/null
