#!/bin/sh
# The main job, on a fresh emulated machine (host build): KstvCardReader without
# registration, then registered with -Service and run as a service that badges the cards
# a second process inserts into a multi-slot reader, checked once with -Status, until it is
# stopped; then -UnregServer. Every command is shown before it runs ("$ ..."), what it
# prints is indented below it, and each step ends with what it proved ("=> ..."), checked;
# the demo's exit code is 1 when a step did not prove what it says.
set -eu
cd "$(dirname "$0")/.."
sh scripts/build.sh >/dev/null

KSTV_MACHINE=$(pwd)/build/demo-machine
export KSTV_MACHINE
rm -rf "$KSTV_MACHINE"
program=build/service/KstvCardReader
machine=build/tools/kstvmachine
folder="$KSTV_MACHINE/drive_c/Program Files/Kestrova/MemoryCard"
drives='HKCR\Applications\explorer.exe\Drives'
appid='HKCR\AppID\{6B1D2E47-3A90-4C5E-9F12-7D84C0A3B5E1}'
service_key='HKLM\System\CurrentControlSet\Services\KstvCardReader'
typelib='HKCR\TypeLib\{2C7E9A15-B4D3-4F08-8E61-5A0F93D7C2B4}'
unproved=0

say() { printf '\n== %s\n' "$*"; }
# Shows a command, runs it with its output indented, and keeps its exit code in $code.
show() {
  printf '$ %s\n' "$*"
  code=0
  "$@" >"$KSTV_MACHINE.out" 2>&1 || code=$?
  sed 's/^/    /' "$KSTV_MACHINE.out"
}
# The same, then says the exit code.
show_exit() { show "$@"; echo "    (exit code $code)"; }
# proved TEXT CONDITION...: says what a step proved, when the condition holds.
proved() {
  what=$1
  shift
  if "$@" >/dev/null 2>&1; then echo "=> $what"; else
    echo "=> NOT AS EXPECTED: $what"
    unproved=1
  fi
}
# A value's data as the machine's registry holds it; nothing when it is not there.
data() { "$machine" reg query "$1" 2>/dev/null | awk -F '    ' -v name="$2" '$2 == name { print $4 }'; }
has_key() { "$machine" reg query "$1" >/dev/null 2>&1; }
lacks_key() { ! has_key "$1"; }
is() { [ "$1" = "$2" ]; }
badge_is() { # LETTER LABEL ICON: the drive's label and icon
  is "$(data "$drives\\$1\\DefaultLabel" '(Default)')" "$2" &&
    is "$(data "$drives\\$1\\DefaultIcon" '(Default)')" "C:\\Program Files\\Kestrova\\MemoryCard\\$3,0"
}
# EXIT-CODE: the road succeeded and the three parts of the registration are there, or gone.
registered() { is "$1" 0 && has_key "$appid" && has_key "$service_key" && has_key "$typelib"; }
unregistered() { is "$1" 0 && lacks_key "$appid" && lacks_key "$service_key" && lacks_key "$typelib"; }
# STATE [EXIT-CODE]: the service's state now, and its exit code when given.
state_is() {
  "$machine" service status >"$KSTV_MACHINE.status" 2>&1
  grep -qx "STATE: $1" "$KSTV_MACHINE.status" &&
    { [ $# -lt 2 ] || grep -q "^WIN32_EXIT_CODE: $2 " "$KSTV_MACHINE.status"; }
}

say "KstvCardReader on a machine where it was never registered"
show_exit "$program"
proved "it ends at once with 2: its AppID key does not exist" is "$code" 2

say "KstvCardReader -Service: AppID entries, type library, service entry"
show_exit "$program" -Service
registration=$code
show "$machine" reg query "$appid"
show "$machine" reg query "$service_key"
show "$machine" reg query "$typelib\\1.0\\409\\win32"
proved "registered (exit code 0): the AppID, the service entry and the type library are there" \
  registered "$registration"
proved "the service entry runs this program, in quotes" \
  is "$(data "$service_key" ImagePath)" '"C:\Program Files\Kestrova\MemoryCard\KstvCardReader.exe"'

say "A debug level of 2, so that the service keeps a log file in its folder"
show mkdir -p "$folder"
echo "    (the program's folder on the emulated drive C:, which the package would make)"
show "$machine" reg add 'HKLM\SOFTWARE\Kestrova\KstvCardReader' /v DebugLevel /t REG_DWORD /d 2
proved "DebugLevel is 2" is "$(data 'HKLM\SOFTWARE\Kestrova\KstvCardReader' DebugLevel)" 0x2

say "The service manager starts KstvCardReader"
show "$machine" service start "$program"
sleep 1 # the service reports RUNNING, then looks at the drives and asks WMI for disk events
proved "the service runs" state_is RUNNING

say "The reader has four slots, each a drive of its own; an SD card goes into E:"
show "$machine" volume add E: removable Kestrova "SDHC Reader"
say "and a Memory Stick into F:"
show "$machine" volume add F: removable Kestrova "MSPro Duo"
sleep 1 # the service hears of a new disk at WMI's next look (every 0.1 s), then probes it
show "$machine" reg query "$drives"
show "$machine" reg query "$drives\\E\\DefaultIcon"
show "$machine" reg query "$drives\\E\\DefaultLabel"
show "$machine" reg query "$drives\\F\\DefaultIcon"
show "$machine" reg query "$drives\\F\\DefaultLabel"
proved "E: shows the Secure Digital icon and label" badge_is E "Secure Digital" 'SD\kicsd.ico'
proved "F: shows the Memory Stick icon and label" badge_is F "Memory Stick" 'MS\kicms.ico'

say "A USB stick that is no card of the reader goes into G:"
show "$machine" volume add G: removable Generic "USB Flash Disk"
sleep 1
show "$machine" reg query "$drives"
proved "G: gets no badge" lacks_key "$drives\\G"

say "KstvCardReader -Status: what is registered, running and badged (it changes nothing)"
show_exit "$program" -Status
proved "the machine is consistent: registered, running, every card badged (exit code 0)" \
  is "$code" 0

say "The SD card comes out of E:; the Memory Stick in F: keeps its badge"
show "$machine" volume remove E:
sleep 2 # a removal is heard of at WMI's next look for removals (every second)
show "$machine" reg query "$drives"
proved "E:'s badge is gone" lacks_key "$drives\\E"
proved "F: still shows the Memory Stick" badge_is F "Memory Stick" 'MS\kicms.ico'

say "The service is stopped with the Memory Stick inside"
show "$machine" service stop
show "$machine" reg query "$drives"
proved "the service stopped cleanly (exit code 0)" state_is STOPPED 0
proved "no badge left: the stop took F:'s too" lacks_key "$drives\\F"

say "What the service wrote"
echo "The service's debug log (C:\\Program Files\\Kestrova\\MemoryCard\\KstvCardReader.log):"
sed 's/^/    /' "$folder/KstvCardReader.log" || echo "    (no log file)"
echo "The service's standard output (what the emulated service manager keeps, service.log):"
sed 's/^/    /' "$KSTV_MACHINE/service.log"
echo "The Application event log (source, type, event id, text):"
show "$machine" eventlog
[ -s "$KSTV_MACHINE.out" ] || echo "    (nothing: a run without a problem reports nothing there)"
proved "the debug log holds the stop the service received" \
  grep -q "Handler() SERVICE_CONTROL_STOP post WM_QUIT" "$folder/KstvCardReader.log"

say "KstvCardReader -UnregServer removes the AppID entries, the service and the type library"
show_exit "$program" -UnregServer
unregistration=$code
show "$machine" reg query "$appid"
show "$machine" reg query "$service_key"
show "$machine" reg query "$typelib"
proved "unregistered (exit code 0): no AppID, service entry or type library is left" \
  unregistered "$unregistration"
rm -f "$KSTV_MACHINE.out" "$KSTV_MACHINE.status"

echo
echo "The emulated machine is in $KSTV_MACHINE (registry, volumes, event log: machine.db)."
package=$(ls build-win/KstvCardReader-*.msi 2>/dev/null | head -n 1)
echo "The installer package for Windows is $(pwd)/$package (msiexec /i $(basename "$package") /qn)."
if [ "$unproved" -ne 0 ]; then
  echo "Some steps did not prove what they say (NOT AS EXPECTED above)."
  exit 1
fi
