#!/bin/bash
# Checks that every include of the libraries points down the layers that
# docs/design.md draws: a folder includes itself and the folders below it.
# Test files may also include testing/. Prints each include that points up
# or sideways and exits 1 when there is one.
set -euo pipefail
cd "$(dirname "$0")/.."

declare -A allowed=(
  [core]="core"
  [net]="net core"
  [settings]="settings net core"
  [mail]="mail settings net core"
  [watch]="watch mail settings net core"
  [discovery]="discovery settings net core"
  [web]="web mail settings net core"
  [service]="service web discovery watch mail settings net core"
  [console]="console web discovery settings net core"
)

bad=0
for folder in "${!allowed[@]}"; do
  for file in $(git ls-files "$folder/*.cc" "$folder/*.h"); do
    test_file=0
    case "$file" in *_test.cc|*test_util.h|*/test_peers.h) test_file=1 ;; esac
    while IFS= read -r target; do
      ok=0
      for layer in ${allowed[$folder]}; do
        [ "$target" = "$layer" ] && ok=1
      done
      [ "$target" = testing ] && [ $test_file = 1 ] && ok=1
      if [ $ok = 0 ]; then
        echo "$file includes $target/, which is not below $folder/" >&2
        bad=1
      fi
    done < <(sed -n 's|^#include "\([a-z_]*\)/.*"|\1|p' "$file")
  done
done
exit $bad
