#!/bin/sh
# The emulated machine's registry shared by several processes: what one writes the
# next sees, concurrent writers lose nothing, and a writer killed in the middle of its
# work leaves every value it committed and nothing torn.
# Usage: shared-registry.sh KSTVMACHINE
set -u
tool=$1
KSTV_MACHINE=$(mktemp -d)
export KSTV_MACHINE
trap 'rm -rf "$KSTV_MACHINE"' EXIT
key='HKLM\Software\KstvSharedTest'
. "$(dirname "$0")/checks.sh"

"$tool" reg add "$key" /v Written /d by-one >/dev/null
check "a value written by one process is read by the next" \
  sh -c "'$tool' reg query '$key' | grep -q 'Written    REG_SZ    by-one'"

for writer in 1 2 3 4; do
  "$tool" reg fill "$key\\Concurrent$writer" 100 &
done
wait
total=0
for writer in 1 2 3 4; do
  count=$("$tool" reg query "$key\\Concurrent$writer" | grep -c '^    v')
  total=$((total + count))
done
check "four concurrent writers keep all 400 values" test "$total" -eq 400

"$tool" reg fill "$key\\Killed" 1000000 &
writer=$!
sleep 1
kill -9 "$writer"
wait "$writer" 2>/dev/null
values=$("$tool" reg query "$key\\Killed" | grep -c '^    v')
last=$("$tool" reg query "$key\\Killed" | grep '^    v' | tail -n 1 | sed 's/^    v0*\([0-9]*\).*/\1/')
check "a killed writer leaves a readable registry with what it committed" test "$values" -gt 0
check "the values it left have no gap (v0 to v$last)" test "$values" -eq "$((${last:-0} + 1))"
"$tool" reg add "$key" /v After /d kill >/dev/null
check "the registry takes writes again after the kill" \
  sh -c "'$tool' reg query '$key' | grep -q 'After    REG_SZ    kill'"

finish
