#!/bin/sh
# Compares the KestraRHB Intel HEX loader with GNU objcopy on a 2 MB image.
#   bench/companion/run.sh BUILD_DIR [RUNS]
# BUILD_DIR is a (Release) build of this project with the benchmarks built:
#   cmake --build BUILD_DIR --target rhb_hex_bench rhb_grid_bench
# Each command runs RUNS times (default 5) under /usr/bin/time -v; the script
# prints the wall time and peak memory of every run.
set -eu
build=${1:?usage: run.sh BUILD_DIR [RUNS]}
runs=${2:-5}
bench=$(find "$build" -name rhb_hex_bench -type f | head -n 1)
grid=$(find "$build" -name rhb_grid_bench -type f | head -n 1)
[ -x "$bench" ] || { echo "rhb_hex_bench not built in $build" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$bench" gen "$work/image.hex"
echo "test file: $(wc -c <"$work/image.hex") bytes of Intel HEX, 2048 KB of data"

measure() {
  label=$1
  shift
  i=0
  while [ "$i" -lt "$runs" ]; do
    if [ -x /usr/bin/time ]; then
      /usr/bin/time -v "$@" 2>"$work/time.txt" >/dev/null
      wall=$(sed -n 's/.*Elapsed (wall clock) time.*: //p' "$work/time.txt")
      peak=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time.txt")
      echo "$label run $i: wall $wall, peak ${peak} KiB"
    else
      echo "$label run $i:"
      time "$@" >/dev/null
    fi
    i=$((i + 1))
  done
}

measure "KestraRHB load      " "$bench" load "$work/image.hex"
measure "KestraRHB hex->bin  " "$bench" convert "$work/image.hex" "$work/a.bin"
measure "objcopy hex->bin    " objcopy -I ihex -O binary "$work/image.hex" "$work/b.bin"
cmp "$work/a.bin" "$work/b.bin" && echo "both binaries are identical"
if [ -x "$grid" ]; then
  QT_QPA_PLATFORM=offscreen measure "load + hex grid     " "$grid" "$work/image.hex"
  QT_QPA_PLATFORM=offscreen "$grid" "$work/image.hex"
fi
