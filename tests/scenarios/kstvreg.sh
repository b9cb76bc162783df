#!/bin/sh
# The script tool: register, export and unregister as a script author uses them.
# Usage: kstvreg.sh SOURCE_DIR COMMAND...   (COMMAND runs kstvreg: the host program, or
# the Windows one under Wine)
set -u
source_dir=$1
shift
work=$(mktemp -d ./kstvreg-scenario.XXXXXX)
KSTV_MACHINE=$(pwd)/$work/machine  # used by the host program only
export KSTV_MACHINE
# Under Wine the scenario runs in one session (see wine-run.sh).
wine_run=""
case "$1" in *wine-run.sh) wine_run=$1 ;; esac
if [ -n "$wine_run" ]; then "$wine_run" --hold-session || exit 1; fi
cleanup() {
  if [ -n "$wine_run" ]; then "$wine_run" --end-session; fi
  rm -rf "$work"
}
trap cleanup EXIT
. "$(dirname "$0")/checks.sh"
# Runs the tool: its output, carriage returns dropped, in $out; its exit code in $code.
run_tool() {
  "$@" >"$work/out" 2>"$work/stderr"
  code=$?
  out=$(tr -d '\r' <"$work/out")
  last="$*"
}
on_failure() {
  echo "  last run: $last"
  echo "  exit code: $code"
  echo "  output: $out"
  sed 's/^/  standard error: /' "$work/stderr"
}

cp "$source_dir/resources/KstvCardReader.rgs" "$work/system.rgs"
run_tool "$@" register "$work/system.rgs"
check "the system script registers: S_OK, exit 0" test "$out" = "0x00000000 S_OK" -a "$code" -eq 0

run_tool "$@" export 'HKCR\AppID\KstvCardReader.EXE'
expected='Windows Registry Editor Version 5.00

[HKEY_CLASSES_ROOT\AppID\KstvCardReader.EXE]
"AppID"="{6B1D2E47-3A90-4C5E-9F12-7D84C0A3B5E1}"'
check "export prints the key as a .reg file" test "$out" = "$expected" -a "$code" -eq 0

printf "HKCU\r\n{\r\n\tNoRemove Software\r\n\t{\r\n\t\tKstvRegScenario = s '%%Greeting%%'\r\n\t\t{\r\n\t\t\tLocalServer32 = s '%%Module%% -Embedding'\r\n\t\t\tval Count = d 42\r\n\t\t\tval Bytes = b 00aF\r\n\t\t}\r\n\t}\r\n}\r\n" >"$work/own.rgs"
run_tool "$@" register "$work/own.rgs" 'Module=C:\Apps\x.exe' Greeting=hello
check "an own script with replacements registers" test "$out" = "0x00000000 S_OK"
run_tool "$@" export 'HKEY_CURRENT_USER\Software\KstvRegScenario'
expected='Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\Software\KstvRegScenario]
@="hello"
"Bytes"=hex:00,af
"Count"=dword:0000002a

[HKEY_CURRENT_USER\Software\KstvRegScenario\LocalServer32]
@="\"C:\\Apps\\x.exe\" -Embedding"'
check "values of every type, and the Module path quoted for LocalServer32" test "$out" = "$expected"

run_tool "$@" unregister "$work/own.rgs" 'Module=C:\Apps\x.exe' Greeting=hello
run_tool "$@" export 'HKCU\Software\KstvRegScenario'
check "unregistration removes it: a missing key prints nothing, exit 1" test -z "$out" -a "$code" -eq 1

run_tool "$@" unregister "$work/system.rgs"
check "the system script unregisters: S_OK, exit 0" test "$out" = "0x00000000 S_OK" -a "$code" -eq 0
run_tool "$@" export 'HKCR\AppID\KstvCardReader.EXE'
check "after it, its key is gone" test -z "$out" -a "$code" -eq 1

printf 'HKCR\r\n{\r\n\tKey = x value\r\n}\r\n' >"$work/bad.rgs"
run_tool "$@" register "$work/bad.rgs"
check "a bad script: DISP_E_EXCEPTION, exit 1" test "${out%%:*}" = "0x80020009 DISP_E_EXCEPTION" -a "$code" -eq 1

run_tool "$@" register "$work/missing.rgs"
check "an unreadable file: exit 2 and a message" test "$code" -eq 2 -a -s "$work/stderr"
run_tool "$@" register
check "a usage error: exit 2" test "$code" -eq 2

finish
