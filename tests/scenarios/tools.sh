#!/bin/sh
# What the tools tell a user who runs them by hand: kstvmachine service start of a program
# that is not there refuses at once with the service manager's code (2), and says whether
# its folder or its file is missing; every tool and the program say, when KSTV_MACHINE is not set, that the machine
# lives only as long as the command (and nothing when it is); KSTV_FAIL_CALLS with a name
# that no call has says so; service status shows the service's own exit code of a run that
# failed with one; kstvmonitor --help says what it does.
# Usage: tools.sh KSTVMACHINE KSTVMONITOR KSTVREG KSTVCARDREADER
set -u
tool=$1
monitor=$2
kstvreg=$3
program=$4
. "$(dirname "$0")/emulated-machine.sh"
err=$KSTV_MACHINE/stderr.txt
on_failure() { sed 's/^/    /' "$err"; }
is() { [ "$1" = "$2" ]; }
says() { grep -q "$1" "$err"; }
says_nothing() { [ ! -s "$err" ]; }
millis() { echo $(($(date +%s%N) / 1000000)); }

# A program that is not there: refused within a second, with a message and exit code 1.
for missing in KstvCardReader "$KSTV_MACHINE/no-folder/KstvCardReader" "$KSTV_MACHINE/KstvCardReader"; do
  started_at=$(millis)
  timeout 20 "$tool" service start "$missing" >/dev/null 2>"$err"
  code=$?
  took=$(($(millis) - started_at))
  check "service start $missing: exit code 1 (got $code)" is "$code" 1
  check "within a second (took $took ms)" test "$took" -lt 1000
  case "$missing" in
  */no-folder/*) check "it says the folder is not there (error 2)" says "failed with error 2: there is no folder '.*/no-folder/'" ;;
  *) check "it says the file is not there (error 2)" says "failed with error 2: there is no program '.*KstvCardReader'" ;;
  esac
done
# A program that is there but no service: it ends without a report, which is said at once.
timeout 20 "$tool" service start /bin/true >/dev/null 2>"$err"
check "service start of a program that is no service: exit code 1 (got $?)" is "$?" 1
check "it says the program ended before it reported" says "ended (exit code 0) before it reported"

# Without KSTV_MACHINE, each says that its machine goes with the command.
notice=': KSTV_MACHINE is not set: this machine lives only as long as this command$'
for name in kstvmachine kstvreg KstvCardReader kstvmonitor; do
  case $name in
  kstvmachine) env -u KSTV_MACHINE "$tool" reg query HKLM >/dev/null 2>"$err" ;;
  kstvreg) env -u KSTV_MACHINE "$kstvreg" export 'HKLM\Software' >/dev/null 2>"$err" ;;
  KstvCardReader) env -u KSTV_MACHINE "$program" -Status >/dev/null 2>"$err" ;;
  kstvmonitor) env -u KSTV_MACHINE timeout -s INT 1 "$monitor" >/dev/null 2>"$err" ;;
  esac
  check "$name without KSTV_MACHINE says the machine lives only as long as the command" \
    says "^$name$notice"
done
"$kstvreg" export 'HKLM\Software' >/dev/null 2>"$err"
check "with KSTV_MACHINE set, it says nothing" says_nothing

# A name that no call has fails nothing, and says so; a call's own name says nothing.
KSTV_FAIL_CALLS=RegOpenKeyExW=5 "$tool" reg query HKLM >/dev/null 2>"$err"
check "KSTV_FAIL_CALLS=RegOpenKeyExW=5: exit code 0 (got $?)" is "$?" 0
check "it says that no call is named RegOpenKeyExW" \
  says "^KSTV_FAIL_CALLS: no call is named 'RegOpenKeyExW'; it fails nothing$"
KSTV_FAIL_CALLS=RegOpenKeyExA=5 "$tool" reg query HKLM >/dev/null 2>"$err"
check "KSTV_FAIL_CALLS=RegOpenKeyExA=5 fails the call with 5" says "failed with error 5$"
check "and says nothing of its name" sh -c '! grep -q KSTV_FAIL_CALLS "$0"' "$err"

# A run whose disk-event subscription fails stops with ERROR_SERVICE_SPECIFIC_ERROR and the
# failing HRESULT as the service's own code.
"$tool" reg add 'HKCR\AppID\{6B1D2E47-3A90-4C5E-9F12-7D84C0A3B5E1}' /v LocalService /d KstvCardReader
KSTV_FAIL_CALLS=ExecNotificationQueryAsync=0x80041003 "$tool" service start "$program" >/dev/null 2>&1
status=$("$tool" service status)
check "service status shows the last report's service exit code" \
  sh -c 'echo "$0" | grep -q "STOPPED (exit code 1066, service exit code 0x80041003)"' "$status"
check "and the state now, with WIN32_EXIT_CODE and SERVICE_EXIT_CODE" is \
  "$(echo "$status" | tail -n 3 | tr '\n' '|')" \
  "STATE: STOPPED|WIN32_EXIT_CODE: 1066 (0x42a)|SERVICE_EXIT_CODE: 2147749891 (0x80041003)|"

"$monitor" --help >"$err" 2>&1
check "kstvmonitor --help: exit code 0 (got $?)" is "$?" 0
check "it says what it does" says "badges each memory card"

finish
