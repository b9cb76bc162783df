#!/bin/sh
# The program under Wine's own service control manager.
#  1. The entry with WMI test doubles (kstv_wine_service.exe), installed with sc create:
#     sc start reaches RUNNING, sc stop ends it cleanly with exit code 0, and the debug log
#     file beside the program holds the handler's line.
#  2. The real KstvCardReader.exe, installed with -Service (exit code 0, though Wine's
#     manager refuses the entry's SID type and privileges) and started with sc start:
#     Wine's WMI has no unsecured apartment, so the subscription fails and the service
#     stops with 1066 and the HRESULT 0x80040154 as its own code; with Windows 7
#     configured it never reports RUNNING and stops with 1150.
#  3. The real program started by hand while the service with doubles runs: it ends at
#     once with 1056 (one card monitor per machine).
#  4. -Service over the running service (the doubles, from two file names in turn), 20
#     times: each ends with exit code 0 and an entry whose image path is the new file; a
#     repair from the other file that fails late (its type library's key may not be
#     written): the entry stays as it was, and the service it stopped runs again;
#     -Service over a running service whose entry sc deleted: exit code 0 and a new
#     entry; then the running service's entry deleted with sc: marked until it stops.
#  5. The service's process killed: Wine's quirk, its manager keeps the service RUNNING.
# Usage: wine-service.sh WINE-RUN SERVICE-WITH-DOUBLES.exe KstvCardReader.exe KEYLOCK.exe
# The whole script runs in one Wine session (wine-run.sh --hold-session): Wine would
# otherwise end the service processes soon after the last other process of the prefix exits.
set -u
wine=$1
doubles=$2
product=$3
keylock=$4
. "$(dirname "$0")/checks.sh"
not() { ! "$@"; }
state() { "$wine" sc query KstvCardReader 2>/dev/null | tr -d '\r' | awk '/STATE/ {print $4}'; }
exit_code() { "$wine" sc query KstvCardReader 2>/dev/null | tr -d '\r' | awk '/WIN32_EXIT_CODE/ {print $3}'; }
# Waits up to 20 seconds (or $2 tenths) for a state, and says every state it saw.
seen=""
wait_state() {
  for _ in $(seq "${2:-200}"); do
    current=$(state)
    seen="$seen $current"
    [ "$current" = "$1" ] && return 0
    sleep 0.1
  done
  return 1
}

"$wine" --hold-session || exit 1
cleanup() {
  quiet "$wine" sc stop KstvCardReader
  quiet "$wine" sc delete KstvCardReader
  quiet "$wine" reg add 'HKCU\Software\Wine' /v Version /d win10 /f
  "$wine" --end-session
  rm -rf "$programs"
}
trap cleanup EXIT

# -Service runs its programs from drive C: of the prefix, as an installation would. Wine
# reports every file as its one user's, which -Service does not trust: the prefix's
# policy (wine-run.sh --create-prefix) trusts the program's location instead.
programs=$("$wine" winepath -u 'C:\KstvServiceTest' | tr -d '\r')
mkdir -p "$programs" && cp "$product" "$programs/KstvCardReader.exe" || exit 1
product=$programs/KstvCardReader.exe
# The debug log lies beside the program that writes it, here for every program.
cp "$doubles" "$programs/kstv_wine_service.exe" || exit 1
doubles=$programs/kstv_wine_service.exe
log_file='C:\KstvServiceTest\KstvCardReader.log'
quiet "$wine" reg add 'HKCR\AppID\{6B1D2E47-3A90-4C5E-9F12-7D84C0A3B5E1}' /v LocalService /d KstvCardReader /f
quiet "$wine" reg add 'HKLM\SOFTWARE\Kestrova\KstvCardReader' /v DebugLevel /t REG_DWORD /d 2 /f

# Starts the service, again while Wine's service manager is still busy starting up
# (it then answers 1055 or 1053).
start_service() {
  for _ in $(seq 10); do
    quiet "$wine" sc start KstvCardReader
    wait_state "$1" 30 && return 0
  done
  return 1
}

quiet "$wine" sc create KstvCardReader binpath= "$("$wine" winepath -w "$doubles" | tr -d '\r')"
check "sc start: the service reaches RUNNING" start_service RUNNING
sleep 1
check "it is still running a second later" test "$(state)" = RUNNING
quiet "$wine" sc stop KstvCardReader
check "sc stop: the service stops" wait_state STOPPED
check "with exit code 0" test "$(exit_code)" = 0
log=$("$wine" cmd /c type "$log_file" 2>/dev/null | tr -d '\r')
check "the debug log file beside the program holds the handler's line" \
  test "$log" = "KstvCardReader: Handler() SERVICE_CONTROL_STOP post WM_QUIT"
quiet "$wine" sc delete KstvCardReader
# The entry goes once its process has ended.
wait_gone() {
  for _ in $(seq 100); do
    "$wine" sc query KstvCardReader >/dev/null 2>&1 || return 0
    sleep 0.1
  done
  return 1
}
check "the doubles' entry goes" wait_gone

specific_code() { "$wine" sc query KstvCardReader 2>/dev/null | tr -d '\r' | awk '/SERVICE_EXIT_CODE/ {print $4}'; }
# Under Wine a read of the value has once (in one round of 20, on a loaded machine) found
# nothing while its service manager was saving the changed entry, which then started with
# it: an empty answer is asked again, briefly.
image_path() {
  for _ in 1 2 3 4 5 6 7 8 9 10; do
    found=$("$wine" reg query 'HKLM\System\CurrentControlSet\Services\KstvCardReader' /v ImagePath \
      2>/dev/null | tr -d '\r' | sed -n 's/.*REG_[A-Z_]*[[:space:]]*//p')
    [ -n "$found" ] && break
    sleep 0.2
  done
  echo "$found"
}

check "-Service installs the real program" "$wine" "$product" -Service
check "its entry names the program, quoted" test "$(image_path)" = "\"$(windows_path "$product")\""
# Wine's service manager takes neither a SID type nor required privileges (the shared
# ServiceManagerApiTest shows its refusals): -Service succeeds without them.
check "its entry has no SID type nor privileges: Wine's manager refuses both" sh -c '
  ! "$1" reg query "$2" /v ServiceSidType >/dev/null 2>&1 &&
    ! "$1" reg query "$2" /v RequiredPrivileges >/dev/null 2>&1' - "$wine" \
  'HKLM\System\CurrentControlSet\Services\KstvCardReader'
seen=""
quiet "$wine" sc start KstvCardReader
check "sc start: the real program stops by itself" wait_state STOPPED
check "with 1066, a failure of its own (seen: $seen)" test "$(exit_code)" = 1066
check "whose code is the subscription's HRESULT 0x80040154" test "$(specific_code)" = "(0x80040154)"

quiet "$wine" reg add 'HKCU\Software\Wine' /v Version /d win7 /f
seen=$("$wine" sc start KstvCardReader 2>/dev/null | tr -d '\r' | awk '/STATE/ {print $4}')
check "on Windows 7 the real program stops by itself" wait_state STOPPED
case "$seen" in *RUNNING*) running=yes ;; *) running=no ;; esac
check "and never reports RUNNING (seen: $seen)" test "$running" = no
# A service that never ran would show 1077 (never started) here.
check "it ran and reported its own stop with 1150, an old Windows" test "$(exit_code)" = 1150
quiet "$wine" reg add 'HKCU\Software\Wine' /v Version /d win10 /f

# Reinstallation over the running service, from two file names in turn.
first="$programs/kstv_reinstall_a.exe"
second="$programs/kstv_reinstall_b.exe"
cp "$doubles" "$first" && cp "$doubles" "$second" || exit 1
check "-Service installs the service with doubles" "$wine" "$first" -Service
check "which starts" start_service RUNNING
# Started by hand while the service runs, the program runs as a plain process, finds the
# machine's card monitor taken and ends at once, leaving the service's logs alone.
logs() { "$wine" cmd /c type "$log_file*" 2>&1 | cksum; }
logs_before=$(logs)
"$wine" "$product" >/dev/null 2>&1
code=$?
check "the program started by hand meanwhile ends with 1056 (its low byte, 32; got $code)" \
  test "$code" -eq 32
check "and the service still runs" test "$(state)" = RUNNING
check "and its logs are as they were" test "$(logs)" = "$logs_before"
# The Windows paths are asked for once, so that each round reads the registry only.
first_path="\"$(windows_path "$first")\""
second_path="\"$(windows_path "$second")\""
bad=""
for round in $(seq 20); do
  if [ $((round % 2)) -eq 1 ]; then next=$second want=$second_path; else next=$first want=$first_path; fi
  "$wine" "$next" -Service >/dev/null 2>&1
  code=$?
  path=$(image_path)
  if [ "$code" -ne 0 ] || [ "$path" != "$want" ]; then
    bad="$bad round $round: exit $code, image path $path, not $want;"
  fi
  start_service RUNNING || bad="$bad round $round: the new service did not start;"
done
check "20 reinstallations over the running service each left the new entry${bad:+ ($bad)}" \
  test -z "$bad"

# A repair from the other file that fails after it has changed the entry: the type
# library's key may not be written. The entry is put back, and the service, which the
# repair stopped, is started again by it.
typelib='TypeLib\{2C7E9A15-B4D3-4F08-8E61-5A0F93D7C2B4}'
quiet "$wine" "$keylock" lock "$typelib\\1.0"
"$wine" "$second" -Service >/dev/null 2>&1
code=$?
check "a repair failing at the type library fails (exit code $code)" test "$code" -ne 0
check "the entry still names the program that ran" test "$(image_path)" = "$first_path"
check "and the service runs again" wait_state RUNNING
quiet "$wine" "$keylock" unlock "$typelib\\1.0" "$typelib"

# The running service's entry deleted with sc, then -Service: the deletion under way is
# waited for (the service is stopped, its entry goes) and a new entry is made.
check "sc delete of the running service succeeds" quiet "$wine" sc delete KstvCardReader
check "-Service over the entry marked for deletion exits 0" quiet "$wine" "$second" -Service
check "and makes the new entry" test "$(image_path)" = "$second_path"
check "which starts" start_service RUNNING

# Wine's manager agrees with the host's: the entry of a running service is only marked for
# deletion (it still answers, a second delete and a creation of the name fail) and goes
# once the service has stopped. (Wine's sc shows no error codes, only that a call failed.)
# The first delete succeeding also shows that the new entry is not the old, marked one.
check "sc delete of the running service succeeds" quiet "$wine" sc delete KstvCardReader
check "and the entry is still there, running" test "$(state)" = RUNNING
check "a second sc delete fails" not quiet "$wine" sc delete KstvCardReader
check "sc create of the name fails" not quiet "$wine" sc create KstvCardReader binpath= 'C:\x.exe'
quiet "$wine" sc stop KstvCardReader
check "once stopped, the entry is gone" wait_gone
check "sc stop of a stopped service fails" sh -c '
  "$1" sc create KstvCardReader binpath= "C:\\x.exe" >/dev/null 2>&1 || exit 1
  ! "$1" sc stop KstvCardReader >/dev/null 2>&1' - "$wine"
quiet "$wine" sc delete KstvCardReader

# The service's process killed. Windows' manager sees the process end and takes the
# service for stopped at once, with 1067 (its process aborted), so that -UnregServer exits
# 0 at once; the emulated machine does so (status.sh). Wine's quirk, pinned as Wine does
# it: its manager keeps the killed service RUNNING, and -UnregServer waits the 30 seconds
# a stop may take for one that cannot come, then removes the registration all the same.
check "-Service installs the service with doubles again" quiet "$wine" "$first" -Service
check "which starts" start_service RUNNING
quiet "$wine" taskkill /f /im kstv_reinstall_a.exe
sleep 3
check "Wine's quirk: the service whose process was killed still shows RUNNING" \
  test "$(state)" = RUNNING
started_at=$(date +%s)
"$wine" "$first" -UnregServer >/dev/null 2>&1
code=$?
took=$(($(date +%s) - started_at))
check "-UnregServer after the kill exits 0 all the same (got $code)" test "$code" -eq 0
check "after waiting for the stop (Wine's quirk; took $took s)" test "$took" -ge 25
rm -f "$first" "$second"

finish
