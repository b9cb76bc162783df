#!/bin/sh
# The program under Wine's own service control manager.
#  1. The entry with WMI test doubles (kstv_wine_service.exe), installed with sc create:
#     sc start reaches RUNNING, sc stop ends it cleanly with exit code 0, and the debug log
#     file holds the handler's line.
#  2. The real KstvCardReader.exe with Windows 7 configured never reports RUNNING.
# Usage: wine-service.sh WINE-RUN SERVICE-WITH-DOUBLES.exe KstvCardReader.exe
# The whole script runs in one Wine session (wine-run.sh --hold-session): Wine would
# otherwise end the service processes soon after the last other process of the prefix exits.
set -u
wine=$1
doubles=$2
product=$3
. "$(dirname "$0")/checks.sh"
quiet() { "$@" >/dev/null 2>&1; }
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
}
trap cleanup EXIT

quiet "$wine" reg add 'HKCR\AppID\{6B1D2E47-3A90-4C5E-9F12-7D84C0A3B5E1}' /v LocalService /d KstvCardReader /f
quiet "$wine" reg add 'HKLM\SOFTWARE\Kestrova\KstvCardReader' /v DebugLevel /t REG_DWORD /d 2 /f
quiet "$wine" cmd /c mkdir "C:\\Program Files\\Kestrova\\MemoryCard"
quiet "$wine" cmd /c del "C:\\Program Files\\Kestrova\\MemoryCard\\KstvCardReader.log"

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
log=$("$wine" cmd /c type "C:\\Program Files\\Kestrova\\MemoryCard\\KstvCardReader.log" 2>/dev/null | tr -d '\r')
check "the debug log file holds the handler's line" \
  test "$log" = "KstvCardReader: Handler() SERVICE_CONTROL_STOP post WM_QUIT"
quiet "$wine" sc delete KstvCardReader

quiet "$wine" reg add 'HKCU\Software\Wine' /v Version /d win7 /f
quiet "$wine" sc create KstvCardReader binpath= "$("$wine" winepath -w "$product" | tr -d '\r')"
seen=$("$wine" sc start KstvCardReader 2>/dev/null | tr -d '\r' | awk '/STATE/ {print $4}')
check "on Windows 7 the real program stops by itself" wait_state STOPPED
case "$seen" in *RUNNING*) running=yes ;; *) running=no ;; esac
check "and never reports RUNNING (seen: $seen)" test "$running" = no
# A service that never ran would show 1077 (never started) here.
check "it ran and reported its own stop, exit code 0" test "$(exit_code)" = 0

finish
