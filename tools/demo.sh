#!/usr/bin/env bash
# Builds xelo and runs it from a private copy of its program directory with a
# private system drive, so nothing outside build/ is touched.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/tools/build.sh"
demo="$root/build/demo"
rm -rf "$demo"
mkdir -p "$demo/drive"
cp -r "$root/build/xelo" "$demo/program"
SYSTEMDRIVE="$demo/drive" "$demo/program/xelo" --help
echo
echo "Log files and the result record are in $demo/drive/QOR_Support"
