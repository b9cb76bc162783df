#!/bin/sh
# Installs what the two builds and their tests need, from Debian's packages.
# Skips the installation when everything is already there, unless --always is given.
set -eu
packages="cmake ninja-build g++ googletest libgtest-dev libbenchmark-dev libsqlite3-dev g++-mingw-w64-x86-64-posix
          mingw-w64-tools binutils-mingw-w64-x86-64 wine wine64 faketime clang libclang-rt-14-dev
          librsvg2-bin icoutils wixl msitools clang-format"
commands="cmake ninja g++ x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-widl
          x86_64-w64-mingw32-objdump wine faketime clang rsvg-convert icotool wixl msiinfo
          clang-format"

missing=""
for command in $commands; do
  command -v "$command" >/dev/null 2>&1 || missing="$missing $command"
done
[ -f /usr/include/sqlite3.h ] || missing="$missing sqlite3.h"
[ -d /usr/src/googletest ] || missing="$missing googletest"
[ -d /usr/lib/x86_64-linux-gnu/cmake/GTest ] || missing="$missing libgtest-dev"
[ -f /usr/include/benchmark/benchmark.h ] || missing="$missing benchmark.h"
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || missing="$missing libFuzzer"

if [ -z "$missing" ] && [ "${1:-}" != "--always" ]; then
  exit 0
fi
[ -n "$missing" ] && echo "installing build dependencies (missing:$missing)"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
$sudo apt-get update
# shellcheck disable=SC2086
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y $packages
