#!/bin/sh
# Builds both builds: the host build in build/ (with its tests and tools) and the
# Windows build in build-win/ (KstvCardReader.exe and the test program run under Wine).
# KSTV_SANITIZE=1 adds two host builds with sanitizers: address and undefined behaviour
# in build-asan/, thread in build-tsan/. KSTV_BENCHMARKS=ON builds the measurement
# programs in the host build too.
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKSTV_BENCHMARKS="${KSTV_BENCHMARKS:-OFF}" >/dev/null
cmake --build build
toolchain=""
[ -f build-win/CMakeCache.txt ] || toolchain=-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
cmake -S . -B build-win -G Ninja -DCMAKE_BUILD_TYPE=Release $toolchain >/dev/null
cmake --build build-win
if [ "${KSTV_SANITIZE:-0}" = 1 ]; then
  cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKSTV_SANITIZER=address >/dev/null
  cmake --build build-asan
  cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKSTV_SANITIZER=thread >/dev/null
  cmake --build build-tsan
fi
