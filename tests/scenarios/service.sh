#!/bin/sh
# KstvCardReader run as a service on a machine in a directory, controlled from a second
# process: it starts, badges an SD card inserted at E:, and on a stop request reports
# stop-pending, removes the badge and reports stopped with exit code 0; the debug log file
# holds the handler's line; a registration over the running service leaves the service's
# log lines whole.
# Usage: service.sh KSTVCARDREADER KSTVMACHINE
set -u
program=$1
tool=$2
. "$(dirname "$0")/emulated-machine.sh"
eventually() {
  for _ in $(seq 50); do "$@" && return 0; sleep 0.1; done
  return 1
}
has_label() { "$tool" reg query 'HKCR\Applications\explorer.exe\Drives\E\DefaultLabel' 2>/dev/null | grep -q 'Secure Digital'; }
no_drives() { ! "$tool" reg query 'HKCR\Applications\explorer.exe\Drives\E' >/dev/null 2>&1; }

"$tool" reg add 'HKCR\AppID\{6B1D2E47-3A90-4C5E-9F12-7D84C0A3B5E1}' /v LocalService /d KstvCardReader
"$tool" reg add 'HKLM\SOFTWARE\Kestrova\KstvCardReader' /v DebugLevel /t REG_DWORD /d 2
log="$KSTV_MACHINE/drive_c/Program Files/Kestrova/MemoryCard/KstvCardReader.log"
mkdir -p "$(dirname "$log")"

started=$("$tool" service start "$program")
check "the service starts and reports running" sh -c "echo '$started' | grep -q 'service: RUNNING'"
sleep 0.3  # running is reported before the subscription starts
"$tool" volume add E: removable Kestrova "SDHC Reader"
check "an SD card inserted at E: gets its badge" eventually has_label
stopped=$("$tool" service stop)
check "a stop request reports stop-pending, then stopped with exit code 0" \
  sh -c "echo '$stopped' | tr '\n' ' ' | grep -q 'STOP_PENDING (exit code 0) service: STOPPED (exit code 0)'"
check "the stop removed the badge" no_drives
check "the debug log file holds the handler's line" \
  grep -qx 'KstvCardReader: Handler() SERVICE_CONTROL_STOP post WM_QUIT' "$log"

# A registration over the running service, from a process of its own, keeps the log the
# service writes: the registration opens it while the service has a line in it, stops the
# service (which writes its stop line) and goes; the lines stand one after the other,
# with nothing torn or zeroed between them.
"$program" -Service >/dev/null 2>&1
"$tool" service start "$program" >/dev/null
"$tool" service control 200 >/dev/null  # a request it does not know: a line in the log
"$program" -Service >/dev/null 2>&1
check "-Service over the running service: its log holds the service's two lines, whole" \
  test "$(tr '\0' '@' <"$log")" = "KstvCardReader: Bad service request
KstvCardReader: Handler() SERVICE_CONTROL_STOP post WM_QUIT"

finish
