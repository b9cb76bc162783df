#!/bin/sh
# Checks that the product's folders include only the layers below them:
#   service -> monitor, diagnostics, registrar -> module, registry -> platform
# (resources holds no code of its own). Prints every include against that order.
set -eu
cd "$(dirname "$0")/.."

# allowed FOLDER: the folders FOLDER may include, itself among them.
allowed() {
  case "$1" in
    platform) echo "platform" ;;
    registry) echo "registry platform" ;;
    module) echo "module platform" ;;
    monitor) echo "monitor registry platform" ;;
    diagnostics) echo "diagnostics module registry platform" ;;
    registrar) echo "registrar module registry platform" ;;
    service) echo "service monitor diagnostics registrar module registry platform resources" ;;
  esac
}

status=0
for folder in platform registry module monitor diagnostics registrar service; do
  for file in $(find "$folder" -name '*.cpp' -o -name '*.h' | sort); do
    for included in $(sed -n 's/^#include "\([a-z]*\)\/.*/\1/p' "$file" | sort -u); do
      case " $(allowed "$folder") " in
        *" $included "*) ;;
        *) echo "$file includes $included/, a layer above or beside $folder/"; status=1 ;;
      esac
    done
  done
done
[ "$status" -eq 0 ] && echo "layers: every include goes down"
exit "$status"
