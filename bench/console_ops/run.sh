#!/usr/bin/env bash
# Runs the automatic-sequence benchmark on one and on four paced simulated
# programmers, three times each, from a Release build.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
BUILD="${BUILD:-$ROOT/build/bench}"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD" --target console_ops_auto_bench kestra-devsim
BENCH="$(find "$BUILD" -type f -name console_ops_auto_bench -perm -u+x | head -n1)"
for n in 1 4; do
  for _ in 1 2 3; do "$BENCH" "$n"; done
done
