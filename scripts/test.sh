#!/usr/bin/env bash
# Builds everything and runs every test: the normal build (warnings as errors), the same tests
# under ASan+UBSan and under ThreadSanitizer, and a bounded libFuzzer run over the datagram
# decoders and dispatch.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

bash scripts/bootstrap.sh

JOBS=$(nproc)
FUZZ_SECONDS=${MURVIK_FUZZ_SECONDS:-60}

configure() {  # dir, extra cmake args...
  local dir=$1; shift
  cmake -S "$ROOT" -B "$dir" -G Ninja -DMURVIK_WERROR=ON "$@" >/dev/null
}

echo "== build (release, -Werror)"
configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$JOBS"

echo "== tests"
ctest --test-dir build --output-on-failure -j "$JOBS" --timeout 300

echo "== build (ASan+UBSan)"
configure build-asan -DCMAKE_BUILD_TYPE=Debug -DMURVIK_SANITIZE=ON -DMURVIK_BENCH=OFF
cmake --build build-asan -j "$JOBS"

echo "== tests under ASan+UBSan"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j "$JOBS" --timeout 600

echo "== build (ThreadSanitizer)"
configure build-tsan -DCMAKE_BUILD_TYPE=Debug -DMURVIK_TSAN=ON -DMURVIK_BENCH=OFF -DCMAKE_CXX_FLAGS=-O1
cmake --build build-tsan -j "$JOBS"

echo "== tests under ThreadSanitizer"
# The fatal-signal listing calls unsafe functions on purpose (the process is dying anyway), so
# its death test stays out of this stage. Reports of murvikd and the tools land in their own files.
TSAN_LOGS="$ROOT/build-tsan/tsan-reports"
rm -rf "$TSAN_LOGS" && mkdir -p "$TSAN_LOGS"
TSAN_OPTIONS="halt_on_error=1 exitcode=66 log_path=$TSAN_LOGS/report" \
  ctest --test-dir build-tsan --output-on-failure -j "$JOBS" --timeout 600 -E 'StackListingDeathTest'
if compgen -G "$TSAN_LOGS/report*" >/dev/null; then
  cat "$TSAN_LOGS"/report*
  echo "ThreadSanitizer reported a data race"
  exit 1
fi

echo "== fuzz (${FUZZ_SECONDS}s per target)"
configure build-fuzz -DCMAKE_BUILD_TYPE=Debug -DMURVIK_FUZZ=ON -DMURVIK_SANITIZE=ON -DMURVIK_BENCH=OFF \
  -DCMAKE_CXX_COMPILER=clang++
cmake --build build-fuzz -j "$JOBS" --target murvik_fuzz_targets
for target in build-fuzz/tests/fuzz/fuzz_*; do
  [ -x "$target" ] || continue
  corpus="build-fuzz/corpus/$(basename "$target")"
  mkdir -p "$corpus"
  echo "-- $(basename "$target")"
  # A crash or sanitizer report makes the fuzzer exit non-zero, which fails the run.
  if ! "$target" -max_total_time="$FUZZ_SECONDS" -timeout=10 "$corpus" "$ROOT/tests/fuzz/seeds" >"$corpus.log" 2>&1; then
    tail -n 60 "$corpus.log"
    echo "fuzzing found a fault in $(basename "$target")"
    exit 1
  fi
  grep -E '^#[0-9]+[[:space:]]+DONE' "$corpus.log" | tail -n 1 || true
done

echo "test.sh: all stages passed"
