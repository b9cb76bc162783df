#!/bin/sh
# Builds the fuzz targets with clang (address and undefined-behaviour sanitizers) in
# build-fuzz/ and runs each for a bounded time from the corpus kept in fuzz/corpus/: the
# registrar for SECONDS (default 45), the card-type probe for PROBE_SECONDS (default 30).
# New inputs go to a temporary folder; to keep useful ones, merge them into the corpus
# with -merge=1.
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-45}
probe_seconds=${2:-30}
sh scripts/install-deps.sh
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang \
      -DCMAKE_CXX_COMPILER=clang++ -DKSTV_FUZZ=ON >/dev/null
cmake --build build-fuzz --target registrar_fuzzer probe_fuzzer
found=$(mktemp -d)
trap 'rm -rf "$found"' EXIT

# run TARGET SECONDS MAX_LEN: the report of a finding in full, otherwise the closing
# statistics (inputs per second among them).
run() {
  mkdir -p "$found/$1"
  status=0
  "build-fuzz/fuzz/$1_fuzzer" -max_total_time="$2" -max_len="$3" -print_final_stats=1 \
    "$found/$1" "fuzz/corpus/$1" >"$found/$1.log" 2>&1 || status=$?
  if [ "$status" -ne 0 ]; then cat "$found/$1.log"; else grep -E '^(Done|stat::)' "$found/$1.log"; fi
  echo "$1 fuzzer: exit status $status"
  return "$status"
}

overall=0
run registrar "$seconds" 8192 || overall=1
run probe "$probe_seconds" 1024 || overall=1
exit "$overall"
