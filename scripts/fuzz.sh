#!/bin/sh
# Builds the fuzz targets with clang (address and undefined-behaviour sanitizers) in
# build-fuzz/ and runs the registrar fuzzer for a bounded time (seconds, default 60) from
# the corpus kept in fuzz/corpus/registrar. New inputs go to a temporary folder; to keep
# useful ones, merge them into the corpus with -merge=1.
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-60}
sh scripts/install-deps.sh
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang \
      -DCMAKE_CXX_COMPILER=clang++ -DKSTV_FUZZ=ON >/dev/null
cmake --build build-fuzz --target registrar_fuzzer
found=$(mktemp -d)
trap 'rm -rf "$found"' EXIT
status=0
build-fuzz/fuzz/registrar_fuzzer -max_total_time="$seconds" -max_len=8192 -print_final_stats=1 \
  "$found" fuzz/corpus/registrar >"$found/log" 2>&1 || status=$?
# The report of a finding in full; otherwise the closing statistics.
if [ "$status" -ne 0 ]; then cat "$found/log"; else grep -E '^(Done|stat::)' "$found/log"; fi
echo "registrar fuzzer: exit status $status"
exit "$status"
