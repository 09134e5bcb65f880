#!/usr/bin/env bash
# Builds what the serial path benchmark needs and runs it: murvikd with murvik-sim's echo ports
# against socat bridging a pty and a UDP echo, on loopback.
#   bench/serial_bench.sh [RUNS] [serial_measure options, see --help]
# One JSON object per run on stdout, the tables on stderr. MURVIK_BENCH_BUILD picks the build
# folder (default build-bench, configured RelWithDebInfo when new).
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=${MURVIK_BENCH_BUILD:-build-bench}
RUNS=1
if [[ ${1:-} =~ ^[0-9]+$ ]]; then
  RUNS=$1
  shift
fi
command -v socat >/dev/null || { echo "serial_bench: socat is missing (scripts/bootstrap.sh installs it)" >&2; exit 1; }

if [ ! -f "$BUILD/build.ninja" ]; then
  cmake -S . -B "$BUILD" -G Ninja -DMURVIK_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
TYPE=$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$BUILD/CMakeCache.txt")
case "$TYPE" in
  Release | RelWithDebInfo) ;;
  *) echo "serial_bench: $BUILD is a '$TYPE' build; the figures mean little without optimisation" >&2 ;;
esac
cmake --build "$BUILD" --target serial_measure murvikd murvik-sim setupc >/dev/null

for run in $(seq "$RUNS"); do
  echo "serial_bench: run $run of $RUNS (load average $(cut -d' ' -f1-3 /proc/loadavg))" >&2
  "$BUILD/bench/serial_measure" "$@"
done
