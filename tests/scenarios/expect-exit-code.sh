#!/bin/sh
# Usage: expect-exit-code.sh CODE COMMAND [ARGS...]
# Runs COMMAND and passes when it exits with CODE.
expected=$1
shift
"$@"
actual=$?
if [ "$actual" -ne "$expected" ]; then
  echo "expected exit code $expected, got $actual: $*" >&2
  exit 1
fi
echo "exit code $actual as expected: $*"
