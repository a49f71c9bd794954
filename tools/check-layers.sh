#!/usr/bin/env bash
# Fails when a folder includes a header from a folder above it. Layers, lowest first; folders on one line are
# peers and may not include each other (the file systems stand beside each other, as do the two front ends):
#   os ui | storage | filetypes | catalog | fs/fat fs/ntfs fs/ext fs/exfat fs/xfs | carve | engines | sessions | cli app
set -euo pipefail
cd "$(dirname "$0")/.."

rank() {
  case "$1" in
    os | ui) echo 0 ;;
    storage) echo 1 ;;
    filetypes) echo 2 ;;
    catalog) echo 3 ;;
    fs/*) echo 4 ;;
    carve) echo 5 ;;
    engines) echo 6 ;;
    sessions) echo 7 ;;
    cli | app) echo 8 ;;
    *) echo "" ;;
  esac
}

# The layer folder of a path: fs/ counts by its sub-folder.
folder_of() {
  case "$1" in
    fs/*) echo "$1" | cut -d/ -f1-2 ;;
    *) echo "${1%%/*}" ;;
  esac
}

bad=0
checked=0
while IFS= read -r file; do
  from=$(folder_of "$file")
  from_rank=$(rank "$from")
  [ -n "$from_rank" ] || continue
  while IFS= read -r header; do
    to=$(folder_of "$header")
    to_rank=$(rank "$to")
    [ -n "$to_rank" ] || continue
    checked=$((checked + 1))
    if [ "$to" != "$from" ] && [ "$to_rank" -ge "$from_rank" ]; then
      echo "layer violation: $file includes $header ($from may not include $to)"
      bad=1
    fi
  done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
done < <(git ls-files --cached --others --exclude-standard -- '*.h' '*.cpp' '*.hpp' '*.cc')

# Within a folder, files (a header and its source counting as one) include each other without loops: each
# folder reads bottom-up like the layers do. The widget toolkit is left out: its windows build their
# controls, and controls notify their window.
loops=0
edges=$(mktemp)
trap 'rm -f "$edges"' EXIT
while IFS= read -r file; do
  from=$(folder_of "$file")
  [ -n "$(rank "$from")" ] && [ "$from" != ui ] || continue
  while IFS= read -r header; do
    [ "$(folder_of "$header")" = "$from" ] || continue
    a=${file%.*}
    b=${header%.*}
    [ "$a" != "$b" ] && echo "$from $a $b"
  done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
done < <(git ls-files --cached --others --exclude-standard -- '*.h' '*.cpp' '*.hpp' '*.cc') >"$edges"
for folder in $(cut -d' ' -f1 "$edges" | sort -u); do
  if ! out=$(awk -v f="$folder" '$1 == f {print $2, $3}' "$edges" | tsort 2>&1 >/dev/null); then
    echo "include loop in $folder/:"
    printf '%s\n' "$out" | sed -n 's/^tsort: /  /p' | grep -v 'input contains a loop'
    loops=1
  fi
done

if [ "$bad" -ne 0 ]; then
  echo "check-layers: includes point upwards or sideways"
  exit 1
fi
if [ "$loops" -ne 0 ]; then
  echo "check-layers: files of one folder include each other in a loop"
  exit 1
fi
echo "check-layers: $checked includes between layer folders, none upwards; no include loops within a folder"
