# Sourced by the scenario scripts. check DESCRIPTION CONDITION... runs the condition and
# says "ok:" or "FAILED:" with the description; skip DESCRIPTION says "skipped:"; finish
# prints the tally and gives the script's status. A script may define on_failure to print what it saw when a check fails.
failures=0
passed=0
check() {
  what=$1; shift
  if "$@"; then printf "ok: %s\n" "$what"; passed=$((passed + 1)); else
    printf "FAILED: %s\n" "$what"; failures=$((failures + 1))
    if command -v on_failure >/dev/null 2>&1; then on_failure; fi
  fi
}
# Says that a check is not made here, and why (a platform that cannot show it).
skip() { printf "skipped: %s\n" "$1"; }
finish() {
  echo "$passed passed, $failures failed"
  [ "$failures" -eq 0 ]
}
# Runs a command without its output.
quiet() { "$@" >/dev/null 2>&1; }
# Wine scenarios (which set $wine to wine-run.sh): the Windows path of a Unix one.
windows_path() { "$wine" winepath -w "$1" | tr -d '\r'; }
