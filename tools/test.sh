#!/usr/bin/env bash
# Builds xelo and runs every test (labels unit, integration, slow).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/tools/build.sh"
cd "$root/build"
ctest --output-on-failure --timeout 600 "$@"
