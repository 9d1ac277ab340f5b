#!/usr/bin/env bash
# Builds the console, the upgrade tool and the device simulator, starts four
# simulated programmers and opens the console on them. The simulator stops
# when the console exits. Without a display the console runs under Xvfb.
#
#   scripts/run.sh            four simulated devices
#   DEVICES=2 scripts/run.sh  another count (1..8)
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
DEVICES="${DEVICES:-4}"

scripts/install-deps.sh
cmake -S . -B build/run -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build/run --target KestraGangA4 KestraGangA4_VeDaZe kestra-devsim

CONSOLE="$(find build/run -type f -name KestraGangA4 -perm -u+x | head -n1)"
DEVSIM="$(find build/run -type f -name kestra-devsim -perm -u+x | head -n1)"
[ -n "$CONSOLE" ] && [ -n "$DEVSIM" ] || { echo "run.sh: build products not found" >&2; exit 1; }

WORK="$(mktemp -d "${TMPDIR:-/tmp}/kestra-run.XXXXXX")"
export KESTRA_SERIAL_TABLE="$WORK/serial-table"
"$DEVSIM" -n "$DEVICES" --table "$KESTRA_SERIAL_TABLE" >"$WORK/devsim.log" 2>&1 &
SIM_PID=$!
cleanup() {
  kill "$SIM_PID" 2>/dev/null || true
  wait "$SIM_PID" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

# The simulator writes the table once its devices listen.
for _ in $(seq 1 100); do
  [ -s "$KESTRA_SERIAL_TABLE" ] && break
  kill -0 "$SIM_PID" 2>/dev/null || { cat "$WORK/devsim.log" >&2; exit 1; }
  sleep 0.1
done
[ -s "$KESTRA_SERIAL_TABLE" ] || { echo "run.sh: simulator did not start" >&2; exit 1; }
echo "Simulated programmers:"; cat "$KESTRA_SERIAL_TABLE"
echo "Sample object files: $ROOT/examples"

# The console keeps its exit log in the directory it starts in.
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  "$CONSOLE"
else
  xvfb-run -a "$CONSOLE"
fi
