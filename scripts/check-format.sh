#!/bin/sh
# Checks that clang-format, with the checked-in configuration (.clang-format), would
# change no C++ file of the repository. Prints the files it would change and how.
set -eu
cd "$(dirname "$0")/.."
status=0
for file in $(git ls-files '*.cpp' '*.h'); do
  if ! clang-format --dry-run --Werror -style=file "$file" >/dev/null 2>&1; then
    echo "$file is not formatted:"
    clang-format -style=file "$file" | diff -u "$file" - | sed -n '3,20p' || true
    status=1
  fi
done
[ "$status" -eq 0 ] && echo "format: clang-format changes nothing"
exit "$status"
