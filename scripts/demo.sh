#!/bin/sh
# The main job, on a fresh emulated machine (host build): KstvCardReader without
# registration, then registered with -Service and run as a service that badges the cards
# a second process inserts into a multi-slot reader, checked once with -Status, until it is
# stopped; then -UnregServer.
set -eu
cd "$(dirname "$0")/.."
sh scripts/build.sh >/dev/null

KSTV_MACHINE=$(pwd)/build/demo-machine
export KSTV_MACHINE
rm -rf "$KSTV_MACHINE"
program=build/service/KstvCardReader
machine=build/tools/kstvmachine
drives='HKCR\Applications\explorer.exe\Drives'
say() { printf '\n== %s\n' "$*"; }
show() { printf '$ %s\n' "$*"; "$@" 2>&1 || true; }
# Runs a command as show does, then says its exit code.
show_exit() { printf '$ %s\n' "$*"; code=0; "$@" 2>&1 || code=$?; echo "exit code $code"; }

say "KstvCardReader on a machine where it was never registered"
show_exit "$program"
echo "(2: the AppID key HKCR\\AppID\\{6B1D2E47-...} does not exist)"

say "KstvCardReader -Service: AppID entries, type library, service entry"
show_exit "$program" -Service
show "$machine" reg query 'HKCR\AppID\{6B1D2E47-3A90-4C5E-9F12-7D84C0A3B5E1}'
show "$machine" reg query 'HKLM\System\CurrentControlSet\Services\KstvCardReader'
show "$machine" reg query 'HKCR\TypeLib\{2C7E9A15-B4D3-4F08-8E61-5A0F93D7C2B4}\1.0\409\win32'
say "A debug level of 2, so that the service keeps its log file"
"$machine" reg add 'HKLM\SOFTWARE\Kestrova\KstvCardReader' /v DebugLevel /t REG_DWORD /d 2
mkdir -p "$KSTV_MACHINE/drive_c/Program Files/Kestrova/MemoryCard"

say "The service manager starts KstvCardReader"
show "$machine" service start "$program"
sleep 0.3

say "The reader has four slots, each a drive of its own; an SD card goes into E:"
show "$machine" volume add E: removable Kestrova "SDHC Reader"
say "and a Memory Stick into F:"
show "$machine" volume add F: removable Kestrova "MSPro Duo"
sleep 0.3
show "$machine" reg query "$drives"
show "$machine" reg query "$drives\\E\\DefaultIcon"
show "$machine" reg query "$drives\\E\\DefaultLabel"
show "$machine" reg query "$drives\\F\\DefaultIcon"
show "$machine" reg query "$drives\\F\\DefaultLabel"

say "A USB stick that is no card of the reader goes into G: (no badge)"
show "$machine" volume add G: removable Generic "USB Flash Disk"
sleep 1.2
show "$machine" reg query "$drives"

say "KstvCardReader -Status: what is registered, running and badged (it changes nothing)"
show_exit "$program" -Status

say "The SD card comes out of E:; the Memory Stick in F: keeps its badge"
show "$machine" volume remove E:
sleep 1.2
show "$machine" reg query "$drives"

say "The service is stopped with the Memory Stick inside: its badge goes too"
show "$machine" service stop
show "$machine" reg query "$drives"

say "What the service wrote: its debug log, and its standard output"
cat "$KSTV_MACHINE/drive_c/Program Files/Kestrova/MemoryCard/KstvCardReader.log"
cat "$KSTV_MACHINE/service.log"

say "KstvCardReader -UnregServer removes the AppID entries, the service and the type library"
show_exit "$program" -UnregServer
show "$machine" reg query 'HKCR\AppID\{6B1D2E47-3A90-4C5E-9F12-7D84C0A3B5E1}'
show "$machine" reg query 'HKLM\System\CurrentControlSet\Services\KstvCardReader'
show "$machine" reg query 'HKCR\TypeLib\{2C7E9A15-B4D3-4F08-8E61-5A0F93D7C2B4}'
echo
echo "The emulated machine is in $KSTV_MACHINE (registry, volumes, event log: machine.db)."
package=$(ls build-win/KstvCardReader-*.msi 2>/dev/null | head -n 1)
echo "The installer package for Windows is $(pwd)/$package (msiexec /i $(basename "$package") /qn)."
