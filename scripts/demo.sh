#!/bin/sh
# The main job, on a fresh emulated machine (host build): the program's start without
# registration, then the card monitor following cards that a second process inserts
# and removes.
set -eu
cd "$(dirname "$0")/.."
sh scripts/build.sh >/dev/null

KSTV_MACHINE=$(pwd)/build/demo-machine
export KSTV_MACHINE
rm -rf "$KSTV_MACHINE"
program=build/service/KstvCardReader
machine=build/tools/kstvmachine
drives='HKCR\Applications\explorer.exe\Drives'

run() {
  echo "\$ KstvCardReader $*"
  set +e
  "$program" "$@" 2>&1
  code=$?
  set -e
  echo "exit code $code"
}

echo "== KstvCardReader on a machine where it was never registered"
run
echo "   The AppID key HKCR\\AppID\\{6B1D2E47-...} does not exist: exit code 2 at once."
echo

echo "== The card monitor (kstvmonitor runs it in a console until the service loop lands)"
build/tools/kstvmonitor &
monitor=$!
trap 'kill "$monitor" 2>/dev/null || true' EXIT
sleep 0.5
echo "\$ kstvmachine volume add E: removable Kestrova \"SDHC Reader\"    (a card goes in)"
"$machine" volume add E: removable Kestrova "SDHC Reader"
sleep 0.3
"$machine" reg query "$drives\\E\\DefaultIcon"
"$machine" reg query "$drives\\E\\DefaultLabel"
echo
echo "\$ kstvmachine volume add F: removable Generic \"USB Flash Disk\"    (no card of the reader)"
"$machine" volume add F: removable Generic "USB Flash Disk"
sleep 1.2
"$machine" reg query "$drives" | sed -n '1,3p'
echo
echo "\$ kstvmachine volume remove E:    (the card comes out)"
"$machine" volume remove E:
sleep 1.2
"$machine" reg query "$drives"
echo
echo "\$ kstvmachine volume add G: removable Kestrova MSPro    (a Memory Stick goes in)"
"$machine" volume add G: removable Kestrova MSPro
sleep 0.3
"$machine" reg query "$drives\\G\\DefaultLabel"
echo "   ... and the monitor stops with the stick still inserted:"
kill -TERM "$monitor"
wait "$monitor" || true
trap - EXIT
"$machine" reg query "$drives"
echo
echo "== The registration script, tried with kstvreg on the same machine"
echo "\$ kstvreg register resources/KstvCardReader.rgs"
build/tools/kstvreg register resources/KstvCardReader.rgs
echo "\$ kstvreg export 'HKCR\\AppID'"
build/tools/kstvreg export 'HKCR\AppID'
echo "\$ KstvCardReader -UnregServer    (its registrar step removes the AppID entries again)"
"$program" -UnregServer 2>&1 || true
build/tools/kstvreg export 'HKCR\AppID'
echo
echo "The emulated machine is in $KSTV_MACHINE (registry and volumes: machine.db)."
