#!/bin/sh
# Builds everything and runs every test: the host tests, the host tests again under the
# address and undefined-behaviour sanitizers and under the thread sanitizer, the
# Windows tests under Wine, and the fuzzers (registrar, card-type probe) for a bounded time.
set -eu
cd "$(dirname "$0")/.."
# The measurement programs are built as well, so that they keep compiling.
KSTV_SANITIZE=1 KSTV_BENCHMARKS=ON sh scripts/build.sh

status=0
echo "== host build"
ctest --test-dir build --output-on-failure -j2 || status=1
echo "== host build with sanitizers"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j2 || status=1
echo "== host build with the thread sanitizer"
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure -j2 || status=1
echo "== Windows build under Wine"
ctest --test-dir build-win --output-on-failure || status=1
echo "== fuzzers: registrar ${KSTV_FUZZ_SECONDS:-45} seconds, probe ${KSTV_PROBE_FUZZ_SECONDS:-30} seconds"
sh scripts/fuzz.sh "${KSTV_FUZZ_SECONDS:-45}" "${KSTV_PROBE_FUZZ_SECONDS:-30}" || status=1
exit $status
