#!/bin/sh
# The registrar and the registry wrapper allocate only through the platform's allocators,
# whose failure is a result code (E_OUTOFMEMORY): no container or expression that would
# throw std::bad_alloc across the system's parts.
# Usage: no-throwing-allocations.sh SOURCE_DIR
set -eu
cd "$1"
pattern='std::(basic_string|string|wstring|vector|map|set|list|deque|unique_ptr|shared_ptr|make_unique|make_shared|function)\b|\bWideString\b|\bNarrowText\(|= new\b|\(new\b|\bnew\[\]'
if found=$(grep -nE "$pattern" registrar/*.cpp registrar/*.h registry/*.cpp registry/*.h); then
  echo "throwing allocations in the registrar or the registry wrapper:"
  echo "$found"
  exit 1
fi
echo "no throwing allocations"
