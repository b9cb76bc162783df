#!/bin/sh
# KstvCardReader -Status from a process of its own beside the running program, on a machine
# in a directory: registered with -Service and running with cards in E: and F:, it exits
# 0, says so line by line and changes nothing; with the service killed, 2 (the service
# manager takes a service whose process is gone for stopped); registered with -RegServer,
# a plain run killed and a card pulled after it, 3 for the badge it left; its output goes
# to a file or a pipe alike.
# Usage: status.sh KSTVCARDREADER KSTVMACHINE
set -u
program=$1
tool=$2
. "$(dirname "$0")/emulated-machine.sh"
drives='HKCR\Applications\explorer.exe\Drives'
out="$KSTV_MACHINE/status.txt"

# -Status into a file: its exit code in $code, its lines (without CR) in $out.
status() {
  timeout 60 "$program" -Status >"$out" 2>/dev/null
  code=$?
  tr -d '\r' <"$out" >"$out.lf" && mv "$out.lf" "$out"
}
value() { sed -n "s/^$1: //p" "$out"; }
is() { [ "$1" = "$2" ]; }
# Waits up to 5 seconds until every letter given has a badge.
badged() {
  for _ in $(seq 50); do
    all=yes
    for letter in "$@"; do
      "$tool" reg query "$drives\\$letter\\DefaultIcon" >/dev/null 2>&1 || all=no
    done
    [ "$all" = yes ] && return 0
    sleep 0.1
  done
  return 1
}
# Whether none of the letters given has a drive key.
not_badged() {
  for letter in "$@"; do
    "$tool" reg query "$drives\\$letter" >/dev/null 2>&1 && return 1
  done
  return 0
}
on_failure() { sed 's/^/    /' "$out"; }
# What -Status must leave as it found it.
machine_state() {
  for key in "$drives" 'HKCR\AppID' 'HKLM\System\CurrentControlSet\Services\KstvCardReader' \
    'HKLM\SOFTWARE\Kestrova'; do
    "$tool" reg query "$key" /s 2>/dev/null || "$tool" reg query "$key" 2>/dev/null
  done
  "$tool" service status
  ls -la "$KSTV_MACHINE/drive_c/Program Files/Kestrova/MemoryCard" 2>/dev/null
}

"$program" -Service >/dev/null 2>&1
"$tool" reg add 'HKLM\SOFTWARE\Kestrova\KstvCardReader' /v DebugLevel /t REG_DWORD /d 1 >/dev/null
"$tool" volume add E: removable Kestrova "SDHC Reader" >/dev/null
"$tool" volume add F: removable Kestrova "MSPro Duo" >/dev/null
started=$("$tool" service start "$program")
pid=$(echo "$started" | sed -n 's/^service: process //p')
check "the service runs and badges the cards in E: and F:" badged E F

before=$(machine_state)
status
check "registered, running, two cards badged: exit code 0 (got $code)" is "$code" 0
check "the registration is the service's" is "$(value Registration)" "as a service"
check "the service runs" is "$(value 'Service state')" running
check "E: holds an SD card with this program's badge" is "$(value 'Drive E')" \
  'removable, vendor "Kestrova", product "SDHC Reader", card SD, badge this program'"'"'s'
check "F: a Memory Stick with its badge" is "$(value 'Drive F')" \
  'removable, vendor "Kestrova", product "MSPro Duo", card MS, badge this program'"'"'s'
check "the verdict is the last line" is "$(tail -n 1 "$out")" \
  "Verdict: consistent, registered as a service and running (exit code 0)"
check "and nothing changed: registry, service, log folder" is "$(machine_state)" "$before"
check "a pipe takes the same lines" is "$(timeout 60 "$program" -Status 2>/dev/null | tr -d '\r')" \
  "$(cat "$out")"

kill -9 "$pid"
pid=""
status
check "the service killed: exit code 2 (got $code)" is "$code" 2
check "it is stopped, its process aborted" is "$(value 'Service state')" "stopped (exit code 1067)"
# The service manager takes the killed service for stopped at once: -UnregServer does not
# wait for a stop, and takes the badges the killed service left with the registration.
started_at=$(date +%s%N)
timeout 60 "$program" -UnregServer >/dev/null 2>&1
code=$?
took=$(( ($(date +%s%N) - started_at) / 1000000 ))
check "-UnregServer after the kill: exit code 0 (got $code)" is "$code" 0
check "at once (took $took ms)" test "$took" -lt 5000
check "and the badges the killed service left on E: and F: are gone" not_badged E F

# A plain run, as -RegServer registers the program, that badges a card put into G: while
# it runs; killed, and then the card is pulled.
"$program" -RegServer >/dev/null 2>&1
"$program" >/dev/null 2>&1 &
pid=$!
sleep 0.5  # its disk events are watched once it has scanned the drives
"$tool" volume add G: removable Kestrova "xD-Picture" >/dev/null
check "a plain run badges the card put into G:" badged G
kill -9 "$pid"
pid=""
"$tool" volume remove G: >/dev/null
status
check "its badge of G: left after the kill, the card gone: exit code 3 (got $code)" is "$code" 3
check "the verdict names G:" is "$(value Verdict)" "stale badge of this program on G: (exit code 3)"
check "G: has no drive and a stale badge" is "$(value 'Drive G')" \
  "no drive, badge this program's (stale: no card)"
check "F: keeps its card and its badge" is "$(value 'Drive F')" \
  'removable, vendor "Kestrova", product "MSPro Duo", card MS, badge this program'"'"'s'
check "registered without a service" is "$(value Registration)" "without a service"

# -UnregServer after the plain run's kill: its badges go (of G:, whose card is gone, and of
# F:, whose card is still in), another program's badge of H: stays.
"$tool" reg add "$drives\\H\\DefaultIcon" /ve /d 'C:\Other\card.ico,0' >/dev/null
timeout 60 "$program" -UnregServer >/dev/null 2>&1
code=$?
check "-UnregServer after the plain run's kill: exit code 0 (got $code)" is "$code" 0
check "the badges the plain run left on G: and F: are gone" not_badged G F
check "another program's badge of H: stays" sh -c '"$0" reg query "$1" | grep -q "Other.card.ico,0"' \
  "$tool" "$drives\\H\\DefaultIcon"

finish
