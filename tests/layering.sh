#!/usr/bin/env bash
# Each folder of src/ includes only itself and the folders listed above it
# in the README's layout table; a folder missing from the table is a fault
# too, since nobody would know where it stands.
set -euo pipefail
ROOT=${1:-$(cd "$(dirname "$0")/.." && pwd)}
mapfile -t floors < <(sed -n 's/^| `src\/\([a-z]*\)\/` |.*/\1/p' "$ROOT/README.md")
[ ${#floors[@]} -gt 0 ] || { echo "no src/ rows in the README's layout table"; exit 1; }

faults=0
allowed=" "
for floor in "${floors[@]}"; do
  allowed+="$floor "
  [ -d "$ROOT/src/$floor" ] || { echo "README lists src/$floor/, which does not exist"; faults=$((faults + 1)); continue; }
  while IFS=: read -r file line target; do
    if [[ "$allowed" != *" $target "* ]]; then
      echo "${file#"$ROOT"/}:$line includes $target/, which stands above $floor/"
      faults=$((faults + 1))
    fi
  done < <(grep -rnoE '#include "[a-z]+/' "$ROOT/src/$floor" | sed -E 's/#include "([a-z]+)\//\1/')
done
for dir in "$ROOT"/src/*/; do
  name=$(basename "$dir")
  [[ " ${floors[*]} " == *" $name "* ]] || { echo "src/$name/ is not in the README's layout table"; faults=$((faults + 1)); }
done
[ "$faults" -eq 0 ] && echo "layering: ${#floors[@]} folders, each includes only those above it"
[ "$faults" -eq 0 ]
