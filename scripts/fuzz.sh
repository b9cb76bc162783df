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

# run TARGET SECONDS MAX_LEN [OPTION...]: the report of a finding in full, otherwise the
# closing statistics (coverage, inputs per second among them).
run() {
  target=$1 time_limit=$2 length_limit=$3
  shift 3
  mkdir -p "$found/$target"
  status=0
  "build-fuzz/fuzz/${target}_fuzzer" -max_total_time="$time_limit" -max_len="$length_limit" \
    -print_final_stats=1 "$@" "$found/$target" "fuzz/corpus/$target" >"$found/$target.log" 2>&1 ||
    status=$?
  if [ "$status" -ne 0 ]; then
    cat "$found/$target.log"
  else
    grep -E '^#[0-9]+[[:space:]]+DONE|^Done|^stat::' "$found/$target.log"
  fi
  echo "$target fuzzer: exit status $status"
  return "$status"
}

overall=0
# The registrar's corpus holds scripts nested 511 to 513 deep, each a thousand registry
# calls and a few milliseconds; mutated without regard to cost they take most of the
# time. Energy scaled by execution time lets the fuzzer pick them less often: they still
# run from the corpus, and the corpus holds the inputs that reach the code only they
# reach (limit-nesting-past-*), so coverage is what it is without the option, with about
# five times the inputs.
run registrar "$seconds" 8192 -entropic_scale_per_exec_time=1 || overall=1
run probe "$probe_seconds" 1024 || overall=1
exit "$overall"
