#!/bin/bash
# Each folder of src/ includes only itself and the folders listed before it here, so that a
# reader finds every behaviour below the code that uses it.
set -euo pipefail
cd "$(dirname "$0")/.."
layers=(platform base userdb safety help staging backup commit cli)
status=0
for ((i = 0; i < ${#layers[@]}; i++)); do
  allowed=("${layers[@]:0:i+1}")
  for file in src/"${layers[i]}"/*.{h,cpp}; do
    [ -e "$file" ] || continue
    while IFS= read -r used; do
      ok=0
      for layer in "${allowed[@]}"; do [ "$used" = "$layer" ] && ok=1; done
      if [ $ok = 0 ]; then
        echo "$file includes src/$used/, which comes after src/${layers[i]}/" >&2
        status=1
      fi
    done < <(sed -n 's@^#include "\([a-z_]*\)/.*@\1@p' "$file" | sort -u)
  done
done
exit $status
