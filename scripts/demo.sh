#!/bin/sh
# The main job: KstvCardReader on a fresh emulated machine (host build).
set -eu
cd "$(dirname "$0")/.."
sh scripts/build.sh >/dev/null

KSTV_MACHINE=$(pwd)/build/demo-machine
export KSTV_MACHINE
rm -rf "$KSTV_MACHINE"
program=build/service/KstvCardReader
machine=build/tools/kstvmachine
appid='HKCR\AppID\{6B1D2E47-3A90-4C5E-9F12-7D84C0A3B5E1}'

run() {
  echo "\$ KstvCardReader $*"
  set +e
  "$program" "$@" 2>&1
  code=$?
  set -e
  echo "exit code $code (the host shows the low 8 bits of the 32-bit code)"
}

echo "== A fresh machine: the AppID has never been registered."
run
echo "   The run road opens HKCR\\AppID\\{6B1D2E47-...} for reading; it does not exist,"
echo "   so the program ends at once with ERROR_FILE_NOT_FOUND (2)."
echo
echo "== The AppID key is there (as registration will leave it), without \"LocalService\":"
"$machine" reg add "$appid" /ve /d KstvCardReader
"$machine" reg query "$appid"
run
echo "   The program would run in-process; the run loop is not in this build yet."
echo
echo "== With \"LocalService\" (as 'KstvCardReader -Service' will set it):"
"$machine" reg add "$appid" /v LocalService /d KstvCardReader
"$machine" reg query "$appid"
run
echo "   The program would hand its first thread to the service control manager."
echo
echo "== The registration words are recognised behind - or /, in any case:"
run /regserver
echo "   RegServer returns E_NOTIMPL (0x80004001) until registration is built."
run -UnregServer
echo
echo "The emulated machine is in $KSTV_MACHINE (registry: machine.db)."
