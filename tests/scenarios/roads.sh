#!/bin/sh
# The registration roads of the real program, checked the same way on Wine and on the
# emulated machine: -RegServer, -Service (its entry's privileges and SID where the manager
# keeps them), -Service where the manager refuses the entry's optional settings, which
# succeeds all the same, -RegServer after -Service, -UnregServer, a
# registration on Windows 7 that changes nothing, registrations that fail after they have
# written (at the type library; at a display name another service has) and leave the
# registration that was there before (none, or an earlier -RegServer's), a repair that
# fails late and leaves the working registration whole, its service running again, and
# -Service from a folder everyone may change, which it refuses, changing nothing. Both roads
# register the event source when the message file lies beside the program, and
# -UnregServer removes it; a program whose path the ANSI code page cannot hold registers
# nothing (1113). -Status after -RegServer, -Service and -UnregServer names each part of
# the registration and exits 0, 2 (the service is not started here) and 5.
# On the emulated machine every road runs without a desktop (KSTV_NO_DESKTOP=1), as a
# package's deferred action does: a message box there would never return, and the road
# would time out; its messages go to the event log.
# Usage: roads.sh wine WINE-RUN KstvCardReader.exe KEYLOCK.exe KstvCardReaderMessages.dll
#        roads.sh host KSTVMACHINE KstvCardReader
# On Wine the program is installed in C:\Program Files\Kestrova\MemoryCard\ (a path with
# blanks); on the emulated machine that is where the program always lies. Wine's sc has
# no qc, so the service entry is read where both keep it: the Services key. On Wine the
# scenario runs in one session (wine-run.sh --hold-session) that starts before the service
# is registered, so Wine never starts the service on its own in the middle of the roads.
set -u
platform=$1
tool=$2
program=$3
. "$(dirname "$0")/checks.sh"

folder='C:\Program Files\Kestrova\MemoryCard'
path="$folder\\KstvCardReader.exe"
appid='HKCR\AppID\{6B1D2E47-3A90-4C5E-9F12-7D84C0A3B5E1}'
exekey='HKCR\AppID\KstvCardReader.EXE'
typelib='HKCR\TypeLib\{2C7E9A15-B4D3-4F08-8E61-5A0F93D7C2B4}'
service='HKLM\System\CurrentControlSet\Services\KstvCardReader'
source='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\KstvCardReader'
messages="$folder\\KstvCardReaderMessages.dll"
other_service='HKLM\System\CurrentControlSet\Services\KstvOther'
display_name='Kestrova Card Reader Service'

case "$platform" in
wine)
  "$tool" --hold-session || exit 1
  install_dir="$("$tool" winepath -u "$folder" | tr -d '\r')"
  mkdir -p "$install_dir" && cp "$program" "$install_dir/KstvCardReader.exe" || exit 1
  message_file=$5
  cp "$message_file" "$install_dir/KstvCardReaderMessages.dll" || exit 1
  "$tool" reg delete "$source" /f >/dev/null 2>&1
  # The program in a folder whose name code page 1252 cannot hold (a Greek capital omega,
  # which Windows' best fit would give as "O"), named in UTF-8 as Wine reads Unix names.
  odd_folder="C:\\Tools $(printf '\316\251')mega"
  odd_dir="$(LC_ALL=C.UTF-8 "$tool" winepath -u "$odd_folder" | tr -d '\r')"
  odd_road() {
    mkdir -p "$odd_dir" && cp "$program" "$odd_dir/KstvCardReader.exe" &&
      cp "$message_file" "$odd_dir/KstvCardReaderMessages.dll" || return 99
    LC_ALL=C.UTF-8 "$tool" "$odd_folder\\KstvCardReader.exe" "$1" >/dev/null 2>&1
  }
  reg_query() { "$tool" reg query "$1" 2>/dev/null | tr -d '\r'; }
  has_key() { "$tool" reg query "$1" >/dev/null 2>&1; }
  road() { "$tool" "$path" "$1" >/dev/null 2>&1; }
  take_status() { "$tool" "$path" -Status >"$status_out" 2>/dev/null; }
  windows() { "$tool" reg add 'HKCU\Software\Wine' /v Version /d "$1" /f >/dev/null 2>&1; }
  on_windows_7() { windows win7; }
  on_windows_10() { windows win10; }
  # The type library's version key, made so that nobody may write it.
  keylock=$4
  locked="${typelib#HKCR\\}\\1.0"
  type_library_unwritable() { "$tool" "$keylock" lock "$locked"; }
  type_library_writable() { "$tool" "$keylock" unlock "$locked" "${typelib#HKCR\\}"; }
  # The key that makes the registration fail also keeps Wine from removing the library
  # an earlier registration left below it (and the tool then deletes the whole key): the
  # emulated machine, which fails the call instead, shows that the library goes.
  check_library_gone() {
    if [ "$library_locked" = yes ]; then skip "$1 (the locked key keeps it on Wine)"
    else check "$1" lacks_key "$typelib"; fi
  }
  add_other_service() { "$tool" sc create KstvOther binpath= 'C:\x.exe' DisplayName= "$1" >/dev/null 2>&1; }
  # Wine's window station is a user's: its boxes show, and there is no event log to read.
  check_last_event() { skip "$1 (Wine shows a box, and keeps no event log to read)"; }
  # The real program stops by itself under Wine (no WMI notification queries): the
  # service with test doubles shows the restart in wine-service.sh.
  start_service() { :; }
  check_running() { skip "$1 (the real program does not run under Wine; see wine-service.sh)"; }
  # Wine's QueryServiceConfigA names no dependencies, so a restored entry has none there.
  service_values() { reg_query "$service" | grep -v DependOnService; }
  check_status_dependencies() { skip "$1 (Wine's QueryServiceConfigA names no dependencies)"; }
  # Wine's service manager takes failure actions but keeps none, and refuses their flag
  # (so -Service shows "Couldn't set the service's recovery" here): the emulated machine,
  # which keeps them as Windows does, is where they are checked.
  check_recovery() { skip "$1 (Wine keeps no failure actions)"; }
  # Nor does it take a service SID's type or required privileges (ServiceManagerApiTest
  # shows its refusals): every -Service here meets those refusals, and shows them in boxes.
  check_least_privilege() { skip "$1 (Wine's service manager takes neither)"; }
  optional_settings_refused() { :; }
  optional_settings_taken() { :; }
  delete_other_service() { "$tool" sc delete KstvOther >/dev/null 2>&1; }
  # Wine keeps no access lists: it gives Everyone what the Unix mode gives others, and
  # every file and folder to its one user, whom -Service does not trust: the prefix's
  # administrators' policy (wine-run.sh --create-prefix) trusts wherever the program lies.
  # Without it, as here, Wine's owners alone make -Service refuse.
  policy='HKLM\SOFTWARE\Policies\Kestrova\KstvCardReader'
  folder_open_to_everyone() {
    chmod 0777 "$install_dir"
    "$tool" reg delete "$policy" /v TrustProgramLocation /f >/dev/null 2>&1
  }
  folder_for_administrators() {
    chmod 0755 "$install_dir"
    "$tool" reg add "$policy" /v TrustProgramLocation /t REG_DWORD /d 1 /f >/dev/null 2>&1
  }
  cleanup() {
    on_windows_10
    type_library_writable
    delete_other_service
    "$tool" sc delete KstvCardReader >/dev/null 2>&1
    "$tool" reg delete "$source" /f >/dev/null 2>&1
    "$tool" --end-session
    rm -rf "$install_dir" "$odd_dir"
  }
  ;;
host)
  KSTV_MACHINE=$(mktemp -d)
  export KSTV_MACHINE
  mkdir -p "$KSTV_MACHINE/drive_c/Program Files/Kestrova/MemoryCard" &&
    echo messages >"$KSTV_MACHINE/drive_c/Program Files/Kestrova/MemoryCard/KstvCardReaderMessages.dll" || exit 1
  # The emulated machine's program lies at one path: InstallationTest shows the refusal.
  odd_road() { return 98; }
  reg_query() { "$tool" reg query "$1" 2>/dev/null; }
  has_key() { "$tool" reg query "$1" >/dev/null 2>&1; }
  road() { KSTV_NO_DESKTOP=1 timeout 60 "$program" "$1" >/dev/null 2>&1; }
  take_status() { KSTV_NO_DESKTOP=1 timeout 60 "$program" -Status >"$status_out" 2>/dev/null; }
  on_windows_7() { KSTV_WINDOWS_VERSION=6.1; export KSTV_WINDOWS_VERSION; }
  on_windows_10() { unset KSTV_WINDOWS_VERSION; }
  # The emulated machine's registry has no rights per key: the call is made to fail.
  type_library_unwritable() { KSTV_FAIL_CALLS=RegisterTypeLib=0x8002801C; export KSTV_FAIL_CALLS; }
  type_library_writable() { unset KSTV_FAIL_CALLS; }
  check_library_gone() { check "$1" lacks_key "$typelib"; }
  add_other_service() { "$tool" service create KstvOther 'C:\x.exe' "$1" >/dev/null 2>&1; }
  check_recovery() { check "$1" recovery_set; }
  recovery_set() {
    shown=$("$tool" service show KstvCardReader)
    for line in 'RESET_PERIOD (in seconds): 86400' 'FAILURE_ACTION 1: restart, delay 60000 ms' \
      'FAILURE_ACTION 2: restart, delay 60000 ms' 'FAILURE_ACTION 3: none, delay 0 ms' \
      'FAILURE_ACTIONS_ON_NON_CRASH_FAILURES: TRUE'; do
      printf '%s\n' "$shown" | grep -qxF "$line" || return 1
    done
  }
  check_least_privilege() { check "$1" least_privilege; }
  least_privilege() {
    [ "$(value "$service" RequiredPrivileges)" = SeChangeNotifyPrivilege ] &&
      [ "$(value "$service" ServiceSidType)" = 0x1 ] || return 1
    shown=$("$tool" service show KstvCardReader)
    printf '%s\n' "$shown" | grep -qxF 'SERVICE_SID_TYPE: UNRESTRICTED' &&
      [ "$(printf '%s\n' "$shown" | grep '^REQUIRED_PRIVILEGE: ')" = \
        'REQUIRED_PRIVILEGE: SeChangeNotifyPrivilege' ]
  }
  # The manager refuses the optional settings, as Wine's refuses some.
  optional_settings_refused() { KSTV_FAIL_CALLS=ChangeServiceConfig2A=87; export KSTV_FAIL_CALLS; }
  optional_settings_taken() { unset KSTV_FAIL_CALLS; }
  delete_other_service() { "$tool" service delete KstvOther >/dev/null 2>&1; }
  folder_open_to_everyone() { "$tool" file security "$folder" 'O:BAD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;WD)'; }
  folder_for_administrators() {
    "$tool" file security "$folder" 'O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)'
  }
  check_last_event() { check "$1" is "$("$tool" eventlog | tail -n 1)" "KstvCardReader Error 0: $2"; }
  start_service() { "$tool" service start "$program" >/dev/null 2>&1; }
  # The service a failed road started again reports RUNNING (its new run's reports only).
  running() {
    for _ in $(seq 50); do
      "$tool" service status | grep -qx 'STATE: RUNNING' && return 0
      sleep 0.1
    done
    return 1
  }
  check_running() { check "$1" running; }
  service_values() { reg_query "$service"; }
  check_status_dependencies() { check "$1" is "$(status_value 'Service dependencies')" RPCSS; }
  cleanup() { "$tool" service stop >/dev/null 2>&1; rm -rf "$KSTV_MACHINE"; }
  ;;
*)
  echo "usage: roads.sh wine|host TOOL PROGRAM" >&2
  exit 2 ;;
esac
status_out=$(mktemp)
trap 'cleanup; rm -f "$status_out"' EXIT

# value KEY NAME: the data of a value as reg query prints it ("(Default)" for the default);
# typed KEY NAME: its type and data.
value() { reg_query "$1" | awk -F '    ' -v name="$2" '$2 == name { print $4; exit }'; }
typed() { reg_query "$1" | awk -F '    ' -v name="$2" '$2 == name { print $3 " " $4; exit }'; }
lacks_key() { ! has_key "$1"; }
# What the registry held when a check failed.
on_failure() {
  for key in "$service" "$appid"; do
    echo "  $key:"
    reg_query "$key" | sed 's/^/    /'
  done
}
is() { [ "$1" = "$2" ]; }
begins() { case "$1" in "$2"*) return 0 ;; esac; return 1; }
# -Status into a file: its exit code in $code; status_value NAME gives the value of a line.
status() {
  take_status
  code=$?
}
status_value() { tr -d '\r' <"$status_out" | sed -n "s/^$1: //p"; }
registration_parts="AppID|AppID of KstvCardReader.EXE|LocalService|Type library|Service entry"
# check_parts WHEN VALUE: every part of the registration has that value in -Status.
check_parts() {
  echo "$registration_parts" | tr '|' '\n' | while read -r part; do
    printf '%s\n' "$part=$(status_value "$part")"
  done >"$status_out.parts"
  check "$1: -Status says each part is $2" \
    test -z "$(grep -v "=$2\$" "$status_out.parts")"
  rm -f "$status_out.parts"
}

road -RegServer
check "-RegServer: exit code 0" is $? 0
check "the AppID key names the program" is "$(value "$appid" '(Default)')" KstvCardReader
check "KstvCardReader.EXE points to the AppID" \
  is "$(value "$exekey" AppID)" '{6B1D2E47-3A90-4C5E-9F12-7D84C0A3B5E1}'
check "the type library is registered with the program's path" \
  is "$(value "$typelib\\1.0\\409\\win32" '(Default)')" "$path"
check "with its folder as help directory" \
  is "$(value "$typelib\\1.0\\HELPDIR" '(Default)')" "$folder\\"
check "no service entry" lacks_key "$service"
check "no LocalService" is "$(value "$appid" LocalService)" ""
check "the event source names the message file beside the program" \
  is "$(typed "$source" EventMessageFile)" "REG_EXPAND_SZ $messages"
check "for errors, warnings and information" is "$(value "$source" TypesSupported)" 0x7
status
check "-Status after -RegServer: exit code 0 (got $code)" is "$code" 0
check "-Status: registered without a service" is "$(status_value Registration)" "without a service"
check "-Status: the type library is this program's" is "$(status_value 'Type library')" "this program"

road -Service
check "-Service: exit code 0" is $? 0
check "LocalService names the service" is "$(value "$appid" LocalService)" KstvCardReader
check "ServiceParameters is -Service" is "$(value "$appid" ServiceParameters)" -Service
check "the service runs in its own process" is "$(value "$service" Type)" 0x10
check "it starts automatically" is "$(value "$service" Start)" 0x2
check "its error control is normal" is "$(value "$service" ErrorControl)" 0x1
check "it depends on RPCSS" is "$(value "$service" DependOnService)" RPCSS
check "its image path is quoted (a path with blanks)" is "$(value "$service" ImagePath)" "\"$path\""
check "it says what it does" is "$(value "$service" Description)" \
  "Gives each memory card in Kestrova's card reader its own icon and label in Explorer while the card is inserted."
check_recovery "it is restarted twice after a failure, a stop with its own exit code included"
check_least_privilege "its run keeps only SeChangeNotifyPrivilege, and it has a SID of its own"

# The description, recovery, SID type and privileges refused: -Service succeeds all the
# same, and says what it could not set.
optional_settings_refused
road -Service
check "-Service where the manager refuses the entry's optional settings: exit code 0" is $? 0
check "and the service is there" is "$(value "$service" ImagePath)" "\"$path\""
check_last_event "the last refusal is in the event log" "Couldn't give the service its own SID"
optional_settings_taken
status
check "-Status after -Service: exit code 2, the service not started (got $code)" is "$code" 2
check_parts "after -Service" "this program"
check "-Status: it starts automatically" is "$(status_value 'Service start type')" automatic
check_status_dependencies "-Status: it depends on RPCSS"
check "-Status: it is stopped" begins "$(status_value 'Service state')" stopped
check "-Status: the verdict names the stopped service" \
  begins "$(status_value Verdict)" "the service is registered but not running (stopped"

on_windows_7
road -RegServer
check "on Windows 7: exit code 0x80110449 (its low byte, 0x49, as the shell sees it)" is $? 73
check "and the service is still there" has_key "$service"
check "and LocalService too" is "$(value "$appid" LocalService)" KstvCardReader
on_windows_10

# The service would run the program as the system: from a folder that everyone may change,
# -Service refuses with 5 and removes nothing of the registration before it.
folder_open_to_everyone
road -Service
check "-Service from a folder everyone may change: exit code 5" is $? 5
check "and the service is still there" has_key "$service"
check "and LocalService too" is "$(value "$appid" LocalService)" KstvCardReader
folder_for_administrators

road -RegServer
check "-RegServer after -Service: exit code 0" is $? 0
check "the service entry is gone" lacks_key "$service"
check "LocalService is gone" is "$(value "$appid" LocalService)" ""
check "ServiceParameters stays" is "$(value "$appid" ServiceParameters)" -Service

road -Service
check "-Service registers the event source too" is "$(typed "$source" EventMessageFile)" "REG_EXPAND_SZ $messages"
road -UnregServer
check "-UnregServer: exit code 0" is $? 0
check "the AppID GUID key is gone" lacks_key "$appid"
check "KstvCardReader.EXE is gone" lacks_key "$exekey"
check "the service entry is gone" lacks_key "$service"
check "the type library is gone" lacks_key "$typelib"
check "the event source is gone" lacks_key "$source"
check "the AppID key stays" has_key 'HKCR\AppID'
status
check "-Status after -UnregServer: exit code 5 (got $code)" is "$code" 5
check_parts "after -UnregServer" absent
check "-Status: not registered" is "$(status_value Verdict)" "not registered (exit code 5)"
road -UnregServer
check "a second -UnregServer, with nothing left: exit code 0" is $? 0

# No part of the program's registration, as after -UnregServer.
library_locked=no
nothing_registered() {
  check "$1: no AppID GUID key" lacks_key "$appid"
  check "$1: no KstvCardReader.EXE" lacks_key "$exekey"
  check "$1: no service entry" lacks_key "$service"
  check_library_gone "$1: no type library"
}

# The registration an earlier -RegServer left: the AppID keys and the type library, no
# service.
regserver_registered() {
  check "$1: the AppID GUID key names the program" is "$(value "$appid" '(Default)')" KstvCardReader
  check "$1: no LocalService, no ServiceParameters" is "$(value "$appid" LocalService)$(value "$appid" ServiceParameters)" ""
  check "$1: KstvCardReader.EXE" has_key "$exekey"
  if [ "$library_unlocked" = yes ]; then skip "$1: the type library (the tool that unlocks its key deletes it)"
  else check "$1: the type library with the program's path" \
    is "$(value "$typelib\\1.0\\409\\win32" '(Default)')" "$path"; fi
  check "$1: no service entry" lacks_key "$service"
}
library_unlocked=no

# A program whose path the ANSI code page cannot hold: the roads would register a path
# that names another folder, or none. Both refuse with 1113 and write nothing.
for word in -RegServer -Service; do
  odd_road $word
  code=$?
  if [ "$code" = 98 ]; then skip "$word from a folder the code page cannot hold (the emulated machine's program lies at one path; InstallationTest shows it)"; continue; fi
  check "$word from a folder the code page cannot hold: exit code 1113 (its low byte, 89)" is "$code" 89
  nothing_registered "after it"
  check "after it: no event source" lacks_key "$source"
done

# A registration that fails after it has written undoes its own writes: the registration
# before it, an earlier -RegServer's, stays as it was.
road -RegServer
type_library_unwritable
road -Service
code=$?
check "-Service failing at the type library: a failure (exit code $code)" test "$code" -ne 0
regserver_registered "after it"
type_library_writable
[ "$platform" = wine ] && library_unlocked=yes
regserver_registered "and once the library may be written again"
library_unlocked=no
road -RegServer
type_library_unwritable
road -RegServer
code=$?
check "-RegServer failing at the type library: a failure (exit code $code)" test "$code" -ne 0
regserver_registered "after it"
type_library_writable
road -UnregServer

# On a first registration nothing was there before, and nothing is left.
type_library_unwritable
road -Service
code=$?
check "a first -Service failing at the type library: a failure (exit code $code)" test "$code" -ne 0
library_locked=yes
nothing_registered "after it"
library_locked=no
type_library_writable
nothing_registered "and once the library may be written again"

# Another service already shows the display name: the manager refuses the new entry with
# 1078 (ERROR_DUPLICATE_SERVICE_NAME), and the road leaves nothing; the other stays.
add_other_service "$display_name"
road -Service
check "-Service with the display name taken: exit code 1078 (its low byte, 54)" is $? 54
nothing_registered "after it"
check "the other service is left alone" has_key "$other_service"
check_last_event "the manager's refusal is in the event log, not in a box" "Couldn't create service"
delete_other_service

# A repair that fails late over a working registration, its service running: the
# registration stays as it was (the entry, its description and recovery, the AppID keys,
# the type library) and the service runs again.
road -Service
start_service
registered() { service_values; reg_query "$appid"; reg_query "$exekey"; value "$typelib\\1.0\\409\\win32" '(Default)'; }
before=$(registered)
type_library_unwritable
road -Service
code=$?
after=$(registered)
type_library_writable
check "a repair failing at the type library: a failure (exit code $code)" test "$code" -ne 0
check "the registration is as it was" test "$after" = "$before"
check_running "the service it stopped runs again"
road -UnregServer

finish
