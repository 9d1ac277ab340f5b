#!/usr/bin/env bash
# Builds everything from scratch and runs every test: a plain build, the same
# under AddressSanitizer + UndefinedBehaviorSanitizer, the serial tests under
# ThreadSanitizer, and the two receive-path fuzzers for a bounded time each.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
bash scripts/install-deps.sh

JOBS=$(nproc)
OUT=${KESTRA_BUILD_ROOT:-$ROOT/build/ci}
rm -rf "$OUT"
mkdir -p "$OUT"
export QT_QPA_PLATFORM=offscreen
SUPP=$ROOT/tests/sanitizers

echo "=== plain build ==="
cmake -S . -B "$OUT/plain" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$OUT/plain" -j "$JOBS"
(cd "$OUT/plain" && ctest --output-on-failure -j "$JOBS")

echo "=== AddressSanitizer + UndefinedBehaviorSanitizer ==="
cmake -S . -B "$OUT/asan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKESTRA_SANITIZE=address,undefined \
  -DKESTRA_BENCH=OFF
cmake --build "$OUT/asan" -j "$JOBS"
(cd "$OUT/asan" && \
  ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:halt_on_error=1" \
  LSAN_OPTIONS="suppressions=$SUPP/lsan.supp:print_suppressions=0" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
  ctest --output-on-failure -j "$JOBS")

echo "=== ThreadSanitizer (serial component) ==="
cmake -S . -B "$OUT/tsan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKESTRA_SANITIZE=thread \
  -DKESTRA_BENCH=OFF
cmake --build "$OUT/tsan" -j "$JOBS" --target serial_tests
(cd "$OUT/tsan" && \
  TSAN_OPTIONS="suppressions=$SUPP/tsan.supp:halt_on_error=1:second_deadlock_stack=1" \
  ctest --output-on-failure -L serial)

if command -v clang++ >/dev/null 2>&1; then
  echo "=== fuzzing the receive path ==="
  cmake -S . -B "$OUT/fuzz" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ -DKESTRA_FUZZ=ON -DKESTRA_BENCH=OFF -DBUILD_TESTING=ON
  cmake --build "$OUT/fuzz" -j "$JOBS" --target fuzz_rx_path fuzz_console_rx
  # The frame layer alone, then the console's receive routine with its reply
  # handlers. Inputs up to 40000 bytes reach the drop of an over-long frame
  # (over 8214 bytes) and of pending bytes beyond the keep limit (14336).
  # libFuzzer adds new inputs to the corpus folder: each works on a copy of
  # its seeds.
  for target in fuzz_rx_path:corpus fuzz_console_rx:corpus_console; do
    name=${target%%:*}
    seeds=${target#*:}
    rm -rf "$OUT/fuzz/$seeds"
    mkdir -p "$OUT/fuzz/$seeds"
    cp -r "tests/fuzz/$seeds/." "$OUT/fuzz/$seeds/"
    "$OUT/fuzz/tests/fuzz/$name" -max_total_time="${KESTRA_FUZZ_SECONDS:-50}" -max_len=40000 \
      -rss_limit_mb=2048 "$OUT/fuzz/$seeds"
  done
fi
echo "=== all test stages passed ==="
