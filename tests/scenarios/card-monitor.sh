#!/bin/sh
# The card monitor on a machine in a directory, with cards inserted and removed by a
# second process: the badge appears within a polling interval, goes with the card, and
# goes when the monitor stops with a card still inserted; an empty slot of the reader
# gets none, a slow card gets its badge all the same. The monitor's lines name the drive
# of each badge it gives and takes.
# Usage: card-monitor.sh KSTVMONITOR KSTVMACHINE
set -u
monitor=$1
tool=$2
KSTV_MACHINE=$(mktemp -d)
export KSTV_MACHINE
log=$KSTV_MACHINE/monitor.log
"$monitor" >"$log" 2>&1 &
pid=$!
trap 'kill "$pid" 2>/dev/null; rm -rf "$KSTV_MACHINE"' EXIT
. "$(dirname "$0")/checks.sh"
label() { "$tool" reg query 'HKCR\Applications\explorer.exe\Drives\'"$1"'\DefaultLabel' 2>/dev/null; }
# Waits up to 5 seconds for a condition.
eventually() {
  for _ in $(seq 50); do "$@" && return 0; sleep 0.1; done
  return 1
}
has_label() { label "$1" | grep -q "(Default)    REG_SZ    $2"; }
no_drive_key() { ! "$tool" reg query 'HKCR\Applications\explorer.exe\Drives\'"$1" >/dev/null 2>&1; }

eventually grep -q watching "$log"
"$tool" volume add E: removable Kestrova "SDHC Reader"
check "an SD card inserted at E: gets its badge" eventually has_label E "Secure Digital"
# The deletion query polls once a second: a card must have been seen by it to be missed.
sleep 1.2
"$tool" volume remove E:
check "its badge goes when it is removed" eventually no_drive_key E
check "the monitor said that E: got its badge" eventually \
  grep -qx 'kstvmonitor: E: card inserted, badge "Secure Digital"' "$log"
check "and that it lost it" eventually grep -qx 'kstvmonitor: E: card removed, badge taken away' "$log"
"$tool" volume add F: removable Kestrova MSPro
check "a Memory Stick at F: gets its badge" eventually has_label F "Memory Stick"
"$tool" volume add G: removable Kestrova "SDHC Reader" --empty
"$tool" volume add H: removable Kestrova xD-Picture --slow 300
check "a slow xD card at H: gets its badge" eventually has_label H "xD Picture"
check "the empty slot G: gets none" no_drive_key G
sleep 1.2
"$tool" volume remove G:
"$tool" volume remove H:
check "the slow card's badge goes with it" eventually no_drive_key H
kill -TERM "$pid"
wait "$pid"
check "the monitor stops cleanly" grep -q stopped "$log"
check "the stick left in the reader loses its badge at the stop" no_drive_key F

finish
