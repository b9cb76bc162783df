# Sourced by the host scenarios, with $tool set to kstvmachine: a fresh emulated machine in
# a folder of its own (KSTV_MACHINE), gone when the scenario ends, its service stopped and
# the process in $pid (a run the scenario started) killed first; then checks.sh.
KSTV_MACHINE=$(mktemp -d)
export KSTV_MACHINE
pid=""
cleanup() {
  "$tool" service stop >/dev/null 2>&1
  [ -n "$pid" ] && kill -9 "$pid" 2>/dev/null
  rm -rf "$KSTV_MACHINE"
}
trap cleanup EXIT
. "$(dirname "$0")/checks.sh"
