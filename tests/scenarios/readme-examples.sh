#!/bin/sh
# Runs the README's examples as a reader pastes them, so that they cannot drift from what
# the programs do. An example is a ```sh block right after the line "<!-- example -->";
# it runs as it stands, in a folder of its own whose build/ holds the host build's programs
# and whose resources/ is the source tree's, and passes when every command succeeds. A
# ```text block right after "<!-- example output -->" says what the example before it
# prints: each of its lines must be a line of that output (blanks at either end aside).
# Usage: readme-examples.sh SOURCE_DIR BUILD_DIR
set -u
source_dir=$(cd "$1" && pwd)
build_dir=$(cd "$2" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/kstv-readme.XXXXXX")
trap 'rm -rf "$work"' EXIT
. "$(dirname "$0")/checks.sh"

# Splits the README into example-N.sh and output-N.txt (the output of example N).
awk -v dir="$work" '
  /^<!-- example -->$/ { want = "example"; next }
  /^<!-- example output -->$/ { want = "output"; next }
  want != "" && /^```/ {
    kind = want; want = ""
    if (kind == "example") { ++n; file = dir "/example-" n ".sh" }
    else file = dir "/output-" n ".txt"
    printf "" >file
    next
  }
  file != "" && /^```$/ { close(file); file = ""; next }
  file != "" { print >file }
  { want = "" }
' "$source_dir/README.md"

count=$(ls "$work"/example-*.sh 2>/dev/null | wc -l)
check "the README has examples to run ($count)" test "$count" -gt 0
on_failure() {
  echo "  the example:"
  sed 's/^/    /' "$example"
  echo "  what it printed:"
  sed 's/^/    /' "$run_dir/printed"
}

n=1
while [ "$n" -le "$count" ]; do
  example="$work/example-$n.sh"
  run_dir="$work/run-$n"
  mkdir -p "$run_dir/build"
  ln -s "$build_dir/service" "$build_dir/tools" "$run_dir/build/"
  ln -s "$source_dir/resources" "$run_dir/resources"
  # Run as pasted into a shell: without the test's machine, stopping at the first failure.
  (cd "$run_dir" && env -u KSTV_MACHINE sh -e "$example") >"$run_dir/printed" 2>&1
  code=$?
  check "example $n ($(head -n 1 "$example" | cut -c1-60)...) succeeds (exit code $code)" \
    test "$code" -eq 0
  if [ -f "$work/output-$n.txt" ]; then
    while IFS= read -r line; do
      wanted=$(printf '%s' "$line" | sed 's/^[[:space:]]*//; s/[[:space:]]*$//')
      [ -n "$wanted" ] || continue
      check "example $n prints \"$wanted\"" \
        sh -c 'sed "s/^[[:space:]]*//; s/[[:space:]]*\$//" "$1" | grep -qxF -- "$2"' \
        - "$run_dir/printed" "$wanted"
    done <"$work/output-$n.txt"
  fi
  # An example that leaves its service running would hold the machine: stop it.
  if [ -d "$run_dir/build/my-machine" ]; then
    KSTV_MACHINE="$run_dir/build/my-machine" "$build_dir/tools/kstvmachine" service stop \
      >/dev/null 2>&1 || true
  fi
  n=$((n + 1))
done
finish
