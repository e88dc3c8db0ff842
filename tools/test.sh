#!/usr/bin/env bash
# Builds xelo and runs every test (labels unit, integration, slow), the
# acquisition engine's tests under ThreadSanitizer, then the hardening checks
# (fuzz targets, and the suite under AddressSanitizer and
# UndefinedBehaviorSanitizer; see tools/hardening.sh for its settings).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/tools/build.sh"
cd "$root/build"
ctest --output-on-failure --timeout 600 "$@"
# The acquisition library's tests (named "acquire.*") again under ThreadSanitizer.
# Separate commands, so that set -e stops the script at whichever fails.
cmake -S "$root" -B "$root/build-tsan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DXELO_TSAN=ON >/dev/null
cmake --build "$root/build-tsan" --target acquire_unit_tests acquire_engine_tests
ctest --test-dir "$root/build-tsan" --output-on-failure --timeout 600 -R '^acquire[.]'
bash "$root/tools/hardening.sh"
