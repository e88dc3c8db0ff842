#!/usr/bin/env bash
# Fails when a folder of the program's sources includes a folder above it or
# beside it. Folders are layers, lowest first:
#   host < log < core < metadata < media | acquisition
#        < supportlist | selfupdate | deploy < cli
# (main.cpp, at the top, may include anything). A folder missing from the
# table fails too, so that a new subsystem is given its place.
set -euo pipefail
src="${1:?usage: check_includes.sh <src/xelo>}"
declare -A rank=([host]=0 [log]=1 [core]=2 [metadata]=3 [media]=4 [acquisition]=4
                 [supportlist]=5 [selfupdate]=5 [deploy]=5 [cli]=6)
status=0
for folder in "$src"/*/; do
  layer=$(basename "$folder")
  if [[ -z ${rank[$layer]:-} ]]; then
    echo "$layer/: a folder with no place among the layers"
    status=1
    continue
  fi
  while IFS=: read -r file line text; do
    target=${text#*\"}
    target=${target%%/*}
    [[ -n ${rank[$target]:-} && $target != "$layer" ]] || continue
    if (( rank[$target] >= rank[$layer] )); then
      echo "${file#"$src"/}:$line: $layer/ includes $target/, which is not below it"
      status=1
    fi
  done < <(grep -Hn '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[A-Za-z_]*/' "$folder"* || true)
done
exit $status
