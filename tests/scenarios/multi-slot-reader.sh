#!/bin/sh
# KstvCardReader as a service with a four-slot reader (E: SD, F: Memory Stick, G: xD,
# H: MMC, each slot a drive of its own), driven from a second process: after every step
# the registry holds exactly the badges of the cards inside. Cards at the start, cards in
# and out of each slot interleaved, a second start of the program while the service runs
# (refused, touching neither badges nor log), a card in and out within half a second and
# then a USB stick in its slot, a stop with two cards inside, a start that keeps the
# stopped run's log, and a start after the service was killed with badges left behind (a
# key naming another program's icon is never touched).
# Usage: multi-slot-reader.sh KSTVCARDREADER KSTVMACHINE
set -u
program=$1
tool=$2
. "$(dirname "$0")/emulated-machine.sh"
drives='HKCR\Applications\explorer.exe\Drives'
folder='C:\Program Files\Kestrova\MemoryCard'

insert() {
  case $1 in
  E) "$tool" volume add E: removable Kestrova "SDHC Reader" ;;
  F) "$tool" volume add F: removable Kestrova "MSPro Duo" ;;
  G) "$tool" volume add G: removable Kestrova "xD-Picture" ;;
  H) "$tool" volume add H: removable Kestrova "MMCplus" ;;
  esac
}
eject() { "$tool" volume remove "$1:"; }
# Every key below Drives as LETTER=label, in order: "E=Secure Digital,G=xD Picture".
badges() {
  for key in $("$tool" reg query "$drives" 2>/dev/null | sed -n 's/.*\\Drives\\\(.*\)$/\1/p' | sort); do
    label=$("$tool" reg query "$drives\\$key\\DefaultLabel" 2>/dev/null |
      sed -n 's/^    (Default)    REG_SZ    //p')
    printf '%s=%s,' "$key" "$label"
  done | sed 's/,$//'
}
# Waits up to 5 seconds until the badges are exactly $1.
badges_are() {
  for _ in $(seq 50); do [ "$(badges)" = "$1" ] && return 0; sleep 0.1; done
  echo "  badges: '$(badges)', expected '$1'"
  return 1
}
# The deletion query polls once a second: a card must have been seen by it before it
# goes, or WMI never reports its removal.
seen_by_removals() { sleep 1.2; }
# RUNNING is reported before the scan and the subscriptions: a card inserted before the
# arrival query stands is not reported. Waits until a card put into the spare drive Z: is
# badged (putting it in again if it was missed), then takes it out again.
watching() {
  for _ in $(seq 20); do
    "$tool" volume add Z: removable Kestrova "SD spare"
    for _ in $(seq 10); do
      "$tool" reg query "$drives\\Z" >/dev/null 2>&1 && break 2
      sleep 0.1
    done
    eject Z
    sleep 0.2
  done
  seen_by_removals
  eject Z
  for _ in $(seq 50); do
    "$tool" reg query "$drives\\Z" >/dev/null 2>&1 || return 0
    sleep 0.1
  done
  return 1
}
start() {
  started=$("$tool" service start "$program")
  pid=$(echo "$started" | sed -n 's/^service: process //p')
  echo "$started" | grep -q 'service: RUNNING'
}
stopped_cleanly() {
  "$tool" service stop | tr '\n' ' ' | grep -q 'service: STOPPED (exit code 0)'
}

"$tool" reg add 'HKCR\AppID\{6B1D2E47-3A90-4C5E-9F12-7D84C0A3B5E1}' /v LocalService /d KstvCardReader
"$tool" reg add 'HKLM\SOFTWARE\Kestrova\KstvCardReader' /v DebugLevel /t REG_DWORD /d 2
log="$KSTV_MACHINE/drive_c/Program Files/Kestrova/MemoryCard/KstvCardReader.log"
mkdir -p "$(dirname "$log")"
logs() { cksum "$log" "$log.1" 2>&1; }

insert E
insert G
check "the service starts with cards in E: and G:" start
check "both cards are badged at the start" badges_are "E=Secure Digital,G=xD Picture"
check "the service watches the drives" watching

insert F
check "a Memory Stick into F: is badged beside them" \
  badges_are "E=Secure Digital,F=Memory Stick,G=xD Picture"
eject E
check "the card out of E: loses its badge, the others keep theirs" \
  badges_are "F=Memory Stick,G=xD Picture"
insert H
check "an MMC card into H: is badged" badges_are "F=Memory Stick,G=xD Picture,H=MMC"
eject G
check "the card out of G: loses its badge" badges_are "F=Memory Stick,H=MMC"
insert E
seen_by_removals
eject F
check "an SD card back into E: while the stick leaves F:" badges_are "E=Secure Digital,H=MMC"

# Started by hand while the service runs, the program runs as a plain process (the service
# manager did not start it), finds the machine's card monitor taken and ends at once.
echo "a line of the running service's log" >>"$log"
logs_before=$(logs)
timeout 10 "$program" >/dev/null 2>&1
code=$?
check "a second start while the service runs ends with 1056 (its low byte, 32) (got $code)" \
  test "$code" -eq 32
check "and leaves the badges as they were" badges_are "E=Secure Digital,H=MMC"
check "and the logs" test "$(logs)" = "$logs_before"

insert G
check "an xD card into G: is badged" badges_are "E=Secure Digital,G=xD Picture,H=MMC"
eject G
sleep 0.3 # long enough for the arrival query to see G: empty, not for the deletion query
"$tool" volume add G: removable Generic "USB Flash Disk"
check "a card in and out of G: within half a second, then a USB stick in G: leaves no badge on G:" \
  badges_are "E=Secure Digital,H=MMC"

check "a stop with cards in E: and H: reports stopped with exit code 0" stopped_cleanly
check "the stop took both badges" badges_are ""

eject G
check "the service starts again with cards in E: and H:" start
check "both are badged at the start" badges_are "E=Secure Digital,H=MMC"
check "the stopped run's log is kept beside the new one" \
  sh -c "grep -q 'the running service' '$log.1' && grep -q 'SERVICE_CONTROL_STOP' '$log.1' &&
         ! grep -q 'the running service' '$log'"
check "the service watches the drives again" watching
insert F
check "E:, F: and H: are badged" badges_are "E=Secure Digital,F=Memory Stick,H=MMC"
kill -9 "$pid"
check "killed, the service leaves its badges behind" \
  badges_are "E=Secure Digital,F=Memory Stick,H=MMC"
eject F
"$tool" reg add "$drives\\K\\DefaultIcon" /ve /d 'C:\Other Reader\SD\kicsd.ico'
"$tool" reg add "$drives\\K\\DefaultLabel" /ve /d "Other Reader"
"$tool" reg add "$drives\\L\\DefaultIcon" /ve /d "$(echo "$folder" | tr 'a-z' 'A-Z')\\MS\\KICMS.ICO"
"$tool" reg add "$drives\\L\\DefaultLabel" /ve /d "Memory Stick"
check "a new start removes what the killed run and an earlier one left and badges E: and H: again" \
  start
check "only the cards inside and the other program's key are there" \
  badges_are "E=Secure Digital,H=MMC,K=Other Reader"
check "the other program's key still names its own icon" sh -c \
  "'$tool' reg query '$drives\\K\\DefaultIcon' | grep -qF 'C:\\Other Reader\\SD\\kicsd.ico'"
check "the last stop reports stopped with exit code 0" stopped_cleanly
check "and leaves only the other program's key" badges_are "K=Other Reader"

finish
