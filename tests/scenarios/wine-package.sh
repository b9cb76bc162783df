#!/bin/sh
# The installer package under Wine, in the throw-away prefix (Windows 10): install,
# what is where, uninstall, the same into a folder with blanks given as INSTALLDIR (the
# debug log in that folder, and an older version's at its fixed path, removed then too), an
# upgrade over an older version
# while the service runs, a second build of the same version, an older version refused
# over a newer one, installations rolled back because the program's -Service failed (at
# once, on Windows 7, and late, at the type library), one rolled back after -Service
# succeeded, and a repair of a running service.
# The real program stops soon after its start here (Wine's WMI has no unsecured
# apartment), and the installer waits for the service's start: its installation would
# fail there. Installations that must succeed use the same package around the test build
# with WMI doubles, whose service keeps running; those that must fail use the real one.
# Usage: wine-package.sh WINE-RUN PACKAGE.msi FAIL-LATE-PACKAGE.msi KEYLOCK.exe VERSION
#                        DOUBLES.msi DOUBLES-OLDER.msi DOUBLES-REBUILT.msi DOUBLES.exe
#                        DOUBLES-REBUILT.exe
#        (DOUBLES-OLDER: version 0.9 with a program that differs from DOUBLES.exe;
#         DOUBLES-REBUILT: the same version as DOUBLES, built again: another product code,
#         and DOUBLES-REBUILT.exe, a program of the same version resource, other bytes)
set -u
wine=$1
package=$2
fail_late=$3
keylock=$4
version=$5
doubles=$6
doubles_older=$7
doubles_rebuilt=$8
doubles_program=$9
doubles_rebuilt_program=${10}
. "$(dirname "$0")/checks.sh"
present() { quiet "$wine" reg query "$1"; }
absent() { ! present "$1"; }
value() { "$wine" reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | sed -n "s/^ *$2 *\(REG_[A-Z_]*\) *\(.*\)\$/\1 \2/p"; }
file_there() { [ -f "$("$wine" winepath -u "$1" | tr -d '\r')" ]; }
folder_gone() { [ ! -e "$("$wine" winepath -u "$1" | tr -d '\r')" ]; }
not() { ! "$@"; }

appid='HKCR\AppID\{6B1D2E47-3A90-4C5E-9F12-7D84C0A3B5E1}'
exekey='HKCR\AppID\KstvCardReader.EXE'
typelib='HKCR\TypeLib\{2C7E9A15-B4D3-4F08-8E61-5A0F93D7C2B4}'
service='HKLM\System\CurrentControlSet\Services\KstvCardReader'
source='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\KstvCardReader'
product_key='HKLM\SOFTWARE\Kestrova\KstvCardReader'
msi=$(windows_path "$package")
fail_late_msi=$(windows_path "$fail_late")
doubles_msi=$(windows_path "$doubles")
older_msi=$(windows_path "$doubles_older")
rebuilt_msi=$(windows_path "$doubles_rebuilt")

"$wine" --hold-session || exit 1
trap '"$wine" --end-session' EXIT

# Other scenarios share the prefix: start from a machine without the product.
default='C:\Program Files\Kestrova\MemoryCard'
rm -rf "$("$wine" winepath -u 'C:\Program Files\Kestrova' | tr -d '\r')"
quiet "$wine" sc stop KstvCardReader
quiet "$wine" sc delete KstvCardReader
for key in "$appid" "$exekey" "$typelib" "$source"; do quiet "$wine" reg delete "$key" /f; done

# Installs with the given msiexec arguments and checks everything lies in FOLDER.
installed_in() {
  folder=$1
  check "the program is in $folder" file_there "$folder\\KstvCardReader.exe"
  check "the message file beside it" file_there "$folder\\KstvCardReaderMessages.dll"
  for icon in SD\\kicsd.ico SD\\kicmmc.ico XD\\kicxd.ico MS\\kicms.ico; do
    check "the badge icon $icon where the badges look" file_there "$folder\\$icon"
  done
  check "the AppID keys" sh -c 'for k; do "$0" reg query "$k" >/dev/null 2>&1 || exit 1; done' \
    "$wine" "$appid" "$exekey"
  check "AppID names the local service" test "$(value "$appid" LocalService)" = "REG_SZ KstvCardReader"
  check "the type library" present "$typelib"
  check "the service entry with the program's quoted path" \
    test "$(value "$service" ImagePath)" = "REG_SZ \"$folder\\KstvCardReader.exe\""
  check "the event source's message file" \
    test "$(value "$source" EventMessageFile)" = "REG_EXPAND_SZ $folder\\KstvCardReaderMessages.dll"
  check "the event source's types" test "$(value "$source" TypesSupported)" = "REG_DWORD 0x7"
}
nothing_left_in() {
  folder=$1
  check "the folder $folder is gone" folder_gone "$folder"
  for key in "$appid" "$exekey" "$typelib" "$service" "$source"; do
    check "no $key" absent "$key"
  done
  check "the AppID key itself stays" present 'HKCR\AppID'
  check "no $product_key, with an administrator's DebugLevel or without" absent "$product_key"
}
# What the product made above its own folder and key goes once nothing else is there.
kestrova_key='HKLM\SOFTWARE\Kestrova'
nothing_left_above() {
  check "no $kestrova_key, which the product made and left empty" absent "$kestrova_key"
  check "no folder C:\Program Files\Kestrova" folder_gone 'C:\Program Files\Kestrova'
}
# The service's state, and a wait for it to run (the package starts it).
state() { "$wine" sc query KstvCardReader 2>/dev/null | tr -d '\r' | awk '/STATE/ {print $4}'; }
runs() {
  for _ in $(seq 100); do
    [ "$(state)" = RUNNING ] && return 0
    sleep 0.1
  done
  return 1
}
stops() {
  quiet "$wine" sc stop KstvCardReader
  for _ in $(seq 300); do
    [ "$(state)" = STOPPED ] && return 0
    sleep 0.1
  done
  return 1
}
uninstall_entries='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
products() { "$wine" reg query "$uninstall_entries" /s 2>/dev/null | tr -d '\r' | grep -c 'DisplayName.*Kestrova Card Reader'; }
service_entries() { "$wine" reg query 'HKLM\System\CurrentControlSet\Services' 2>/dev/null | tr -d '\r' | grep -ci '\\KstvCardReader$'; }
# Files that Windows Installer found in use and replaces only at the next start.
session_manager='HKLM\System\CurrentControlSet\Control\Session Manager'
no_renames_pending() { [ -z "$(value "$session_manager" PendingFileRenameOperations)" ]; }
installed_program() { "$wine" winepath -u "$default\\KstvCardReader.exe" | tr -d '\r'; }
# Runs a command and says how long it took.
timed() {
  start=$(date +%s.%N)
  "$@"
  code=$?
  printf '  (%s: %s s)\n' "$*" "$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN {printf "%.2f", b - a}')"
  return $code
}

check "msiexec /i exits 0" timed "$wine" msiexec /i "$doubles_msi" /qn
installed_in "$default"
# What Installed apps shows of the product.
uninstall_key=$("$wine" reg query "$uninstall_entries" 2>/dev/null |
  tr -d '\r' | while read -r key; do
    [ -n "$key" ] && [ "$(value "$key" DisplayName)" = "REG_SZ Kestrova Card Reader" ] && echo "$key"
  done)
check "the service says what it does" test "$(value "$service" Description)" = \
  "REG_SZ Gives each memory card in Kestrova's card reader its own icon and label in Explorer while the card is inserted."
# Its failure actions: Wine's service manager takes them but keeps none (and refuses their
# flag, so -Service shows "Couldn't set the service's recovery" here); the emulated
# machine, which keeps them as Windows does, is where they are checked (roads.sh, and the
# installation tests).
check "the product's uninstall entry is there" test -n "$uninstall_key"
check "its version is the project's ($version)" test "$(value "$uninstall_key" DisplayVersion)" = "REG_SZ $version"
check "it offers no Modify" test "$(value "$uninstall_key" NoModify)" = "REG_DWORD 0x1"
check "its publisher is Kestrova" test "$(value "$uninstall_key" Publisher)" = "REG_SZ Kestrova"
check "it says what the product does" test "$(value "$uninstall_key" Comments)" = \
  "REG_SZ Gives memory cards in Kestrova's card reader their own icon and label in Explorer."
# Windows Installer keeps the icon of Installed apps below its own key of the product.
product_icon=$("$wine" reg query 'HKCR\Installer\Products' /s 2>/dev/null | tr -d '\r' |
  awk '/^HKEY/ {key = $0} /ProductName.*Kestrova Card Reader/ {print key}' | head -n 1)
check "the installed product has its icon" sh -c '
  icon=$("$1" reg query "$2" /v ProductIcon 2>/dev/null | tr -d "\r" | sed -n "s/.*REG_SZ *//p")
  [ -n "$icon" ] && [ -f "$("$1" winepath -u "$icon" | tr -d "\r")" ]' - "$wine" "$product_icon"
check "msiexec /x exits 0" timed "$wine" msiexec /x "$doubles_msi" /qn
nothing_left_in "$default"
nothing_left_above

elsewhere='C:\Kestrova Card Reader Test'
check "msiexec /i with INSTALLDIR exits 0" timed "$wine" msiexec /i "$doubles_msi" INSTALLDIR="$elsewhere" /qn
installed_in "$elsewhere"
check "and nothing in the default folder" folder_gone "$default"
# Another product of the maker keeps its key beside the program's: it stays.
other_product="$kestrova_key\\OtherProduct"
quiet "$wine" reg add "$other_product" /v Version /d 1 /f
check "msiexec /x exits 0" "$wine" msiexec /x "$doubles_msi" /qn
nothing_left_in "$elsewhere"
check "another product's key beside the program's stays" \
  test "$(value "$other_product" Version)" = "REG_SZ 1"
quiet "$wine" reg delete "$kestrova_key" /f

# The program writes its debug log in its own folder, INSTALLDIR, which only administrators
# may change: the uninstall removes it there, and also at the fixed path where older
# versions wrote theirs whatever INSTALLDIR was.
fixed_log="$default\\KstvCardReader.log"
quiet "$wine" reg add "$product_key" /v DebugLevel /t REG_DWORD /d 2 /f
quiet "$wine" cmd /c mkdir "$default"
check "msiexec /i with INSTALLDIR and a debug level exits 0" \
  "$wine" msiexec /i "$doubles_msi" INSTALLDIR="$elsewhere" /qn
check "the program wrote its debug log in INSTALLDIR" file_there "$elsewhere\\KstvCardReader.log"
check "and none at the fixed path" not file_there "$fixed_log"
# A run keeps the previous run's log beside it; an older version left its logs at the
# fixed path.
for kept in "$elsewhere\\KstvCardReader.log.1" "$fixed_log" "$fixed_log.1"; do
  echo "a previous run's line" >"$("$wine" winepath -u "$kept" | tr -d '\r')"
done
check "msiexec /x exits 0" "$wine" msiexec /x "$doubles_msi" /qn
check "an older version's debug log at the fixed path is gone" not file_there "$fixed_log"
check "and so is its previous run's log" not file_there "$fixed_log.1"
nothing_left_in "$elsewhere"
quiet "$wine" reg delete "$product_key" /v DebugLevel /f
rm -rf "$("$wine" winepath -u 'C:\Program Files\Kestrova' | tr -d '\r')"

# An upgrade of an installed product: the installer stops the service and waits for it
# before it replaces the program, so that nothing waits for a restart (3010). Wine's
# installer sends the stop but never waits for it (pinned below), so whether the program
# is still running when Wine replaces it depends on how loaded the machine is: here the
# service is stopped first, and the upgrade over a service still running is the case
# below, as Wine does it.
check "the older package installs" "$wine" msiexec /i "$older_msi" /qn
check "and its service runs" runs
check "and stops" stops
check "the newer one installs over it, with exit status 0 (not 3010: no restart needed)" \
  timed "$wine" msiexec /i "$doubles_msi" /qn
check "no file waits for a restart to be replaced" no_renames_pending
check "the newer program replaced the older one" cmp -s "$(installed_program)" "$doubles_program"
check "one product is installed after the upgrade (found $(products))" test "$(products)" -eq 1
check "and it is the newer version" sh -c '"$0" reg query "$1" /s 2>/dev/null | tr -d "\r" | grep -q "DisplayVersion.*$2"' \
  "$wine" "$uninstall_entries" "$version"
# Wine runs RemoveExistingProducts after the newer product's InstallFinalize (as the
# sequence has it, like Windows) but sets no UPGRADINGPRODUCTCODE in the older product's
# session: the older product's -UnregServer is held back by the product code the newer
# one left under HKLM\SOFTWARE\Kestrova\KstvCardReader, so the newer registration stays.
installed_in "$default"
check "one service entry after the upgrade" test "$(service_entries)" -eq 1
check "the newer one's remembered folder outlives the older one's removal" \
  test "$(value "$product_key" InstallDir)" = "REG_SZ $default\\"
check "and its service runs" runs
check "msiexec /x of the newer one exits 0" "$wine" msiexec /x "$doubles_msi" /qn
nothing_left_in "$default"

# Wine's shortfall: its installer sends the stop but never waits for it, whatever the
# ServiceControl row's Wait says (Windows waits up to 30 seconds, and package-contents.sh
# checks that the row asks for it). A service that takes 3 seconds to stop is still
# running when the files are replaced: Wine replaces the program at the next start and
# ends with 3010. Pinned as Wine does it.
slow_stop='HKLM\SOFTWARE\Kestrova\KstvCardReaderTests'
quiet "$wine" reg add "$slow_stop" /v CancelDelayMilliseconds /t REG_DWORD /d 3000 /f
quiet "$wine" msiexec /i "$older_msi" /qn
"$wine" msiexec /i "$doubles_msi" /qn >/dev/null 2>&1
code=$?
check "Wine's upgrade over a service slow to stop ends with 3010 (its low byte, 194; found $code)" \
  test "$code" -eq 194
check "and leaves the program to be replaced at the next start" not no_renames_pending
quiet "$wine" reg delete "$slow_stop" /f
quiet "$wine" reg delete "$session_manager" /v PendingFileRenameOperations /f
quiet "$wine" msiexec /x "$doubles_msi" /qn
rm -rf "$("$wine" winepath -u 'C:\Program Files\Kestrova' | tr -d '\r')"
nothing_left_in "$default"

# A second build of the same version (another product code) replaces the installed one
# instead of installing beside it.
check "a build of the package installs" "$wine" msiexec /i "$doubles_msi" /qn
check "and its service stops (Wine's installer would not wait for it)" stops
check "another build of the same version installs over it" timed "$wine" msiexec /i "$rebuilt_msi" /qn
# Its files have the same version as the installed ones, and replace them all the same.
# (Wine's quirk: its installer replaces a file of an equal version whatever REINSTALLMODE
# says; Windows keeps it unless REINSTALLMODE has "e", which package-contents.sh checks.)
check "its program replaced the installed one of the same version" \
  cmp -s "$(installed_program)" "$doubles_rebuilt_program"
check "one product is installed (found $(products))" test "$(products)" -eq 1
installed_in "$default"
check "one service entry" test "$(service_entries)" -eq 1
check "and its service runs" runs
check "the installed program's product is the second build" \
  test "$(value "$product_key" ProductCode)" = "REG_SZ $(msiinfo export "$doubles_rebuilt" Property | tr -d '\r' | awk -F '\t' '$1 == "ProductCode" {print $2}')"
check "msiexec /x of the second build exits 0" "$wine" msiexec /x "$rebuilt_msi" /qn
nothing_left_in "$default"

# An older version over a newer one is refused (its launch condition, whose message
# package-contents.sh checks; Wine logs the condition, not the message) and changes nothing.
check "a build of the package installs" "$wine" msiexec /i "$doubles_msi" /qn
log=$("$wine" winepath -u 'C:\downgrade.log' | tr -d '\r')
"$wine" msiexec /i "$older_msi" /qn /l*v 'C:\downgrade.log' >/dev/null 2>&1
code=$?
check "the older version over it fails (exit status $code)" test "$code" -ne 0
check "as a newer version is installed" sh -c 'tr -d "\000\r" <"$1" | grep -q "^Property(S): WIX_DOWNGRADE_DETECTED = {"' - "$log"
check "one product is still installed" test "$(products)" -eq 1
check "the newer one" sh -c '"$0" reg query "$1" /s 2>/dev/null | tr -d "\r" | grep -q "DisplayVersion.*$2"' \
  "$wine" "$uninstall_entries" "$version"
check "and its service runs" runs
rm -f "$log"
check "msiexec /x exits 0" "$wine" msiexec /x "$doubles_msi" /qn
nothing_left_in "$default"

# A -Service that fails fails the installation, which is rolled back: on Windows 7 the
# program refuses to register (0x80110449). Windows ends msiexec with 1603; Wine's
# msiexec with 1627, its code for a failed action. Either way not 0.
quiet "$wine" reg add 'HKCU\Software\Wine' /v Version /d win7 /f
"$wine" msiexec /i "$msi" /qn >/dev/null 2>&1
code=$?
quiet "$wine" reg add 'HKCU\Software\Wine' /v Version /d win10 /f
check "a failing -Service fails the installation (exit status $code)" test "$code" -ne 0
nothing_left_in "$default"

# A repair (msiexec /fa) of a running service leaves one registered, running service.
check "the package with WMI doubles installs" "$wine" msiexec /i "$doubles_msi" /qn
check "and its service runs" runs
# Wine's quirk: its msiexec /f ends with 1 and repairs nothing. The same repair given as
# the properties /fa sets (REINSTALL=ALL, REINSTALLMODE=a) runs the whole sequence.
# What a repair must put back: the AppID's service value and the entry's description.
quiet "$wine" reg delete "$appid" /v LocalService /f
quiet "$wine" reg delete "$service" /v Description /f
check "a repair (msiexec /i with REINSTALL=ALL REINSTALLMODE=a, as /fa) exits 0" \
  timed "$wine" msiexec /i "$doubles_msi" REINSTALL=ALL REINSTALLMODE=a /qn
check "the repair registered the program again" test "$(value "$service" Description)" = \
  "REG_SZ Gives each memory card in Kestrova's card reader its own icon and label in Explorer while the card is inserted."
check "registered: AppID names the local service" \
  test "$(value "$appid" LocalService)" = "REG_SZ KstvCardReader"
check "registered: the type library" present "$typelib"
check "and the service runs again" runs
check "msiexec /x exits 0" "$wine" msiexec /x "$doubles_msi" /qn
nothing_left_in "$default"

# A -Service that fails after it has written everything else: its type library's key may
# not be written. The program undoes its own writes before it fails the installation.
locked="TypeLib\\{2C7E9A15-B4D3-4F08-8E61-5A0F93D7C2B4}\\1.0"
check "the type library's key is made read-only" "$wine" "$keylock" lock "$locked"
"$wine" msiexec /i "$msi" /qn >/dev/null 2>&1
code=$?
check "a -Service that fails late fails the installation (exit status $code)" test "$code" -ne 0
for key in "$appid" "$exekey" "$service"; do check "and leaves no $key" absent "$key"; done
# (The type library was never written here: its key may not be. The emulated machine,
# where the call fails instead, shows the library of an earlier registration removed.)
check "the read-only key is removed" "$wine" "$keylock" unlock "$locked" "${typelib#HKCR\\}"
nothing_left_in "$default"

# An installation that fails after -Service succeeded (a later action of a test package
# runs cmd /c exit 1). The rollback action, armed just before -Service, runs -UnregServer.
# Windows runs the rollback script in reverse, so it runs while the program is still
# there, and nothing is left. Wine runs it in the order it was written: the installed files
# go first, so the program cannot start (Wine's trace says so) and the registration
# stays. Pinned as Wine does it; package-contents.sh checks the action's row and place.
trace=$(mktemp)
KSTV_WINEDEBUG=+msi "$wine" msiexec /i "$fail_late_msi" /qn >"$trace" 2>&1
code=$?
check "an installation failing after -Service fails (exit status $code)" test "$code" -ne 0
check "its files are gone" not file_there "$default\\KstvCardReader.exe"
check "Wine ran the rollback action's -UnregServer" \
  grep -q 'HANDLE_CustomType18 exe L".*KstvCardReader.exe" arg L"-UnregServer"' "$trace"
check "but after the files were gone: Wine's order, not Windows'" \
  grep -q "execute_command can't find executable" "$trace"
check "so on Wine the registration stays" present "$service"
rm -f "$trace"
quiet "$wine" sc delete KstvCardReader
for key in "$appid" "$exekey" "$typelib"; do quiet "$wine" reg delete "$key" /f; done
nothing_left_in "$default"

finish
