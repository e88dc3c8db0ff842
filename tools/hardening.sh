#!/usr/bin/env bash
# Hardening checks, run after the normal tests:
#  1. every fuzz target (fuzz/) for a bounded time under AddressSanitizer and
#     UndefinedBehaviorSanitizer, from its seed corpus;
#  2. the unit and integration tests in a build with AddressSanitizer and
#     UndefinedBehaviorSanitizer (-DXELO_ASAN=ON); a report from any process
#     the tests start (the program itself included) fails the check.
# Any finding fails the script. Settings (environment):
#   XELO_FUZZ_SECONDS    seconds per fuzz target (default 30; 0 skips fuzzing)
#   XELO_FUZZ_TARGETS    names of the targets to run (default: all)
#   XELO_FUZZ_BUILD_DIR  build directory of the fuzz targets (default build-fuzz)
#   XELO_ASAN_BUILD_DIR  build directory of the sanitizer build (default build-asan)
#   XELO_SKIP_ASAN_TESTS set to 1 to skip step 2
# Inputs that made a target fail are kept in <fuzz build dir>/findings/.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
fuzz_seconds="${XELO_FUZZ_SECONDS:-30}"
fuzz_targets="${XELO_FUZZ_TARGETS:-config_file descriptors catalog signed_catalog supportlist options ftp_listing unzip}"
fuzz_build="${XELO_FUZZ_BUILD_DIR:-$root/build-fuzz}"
asan_build="${XELO_ASAN_BUILD_DIR:-$root/build-asan}"

bash "$root/tools/install-deps.sh"

scratch="$(mktemp -d "${TMPDIR:-/tmp}/xelo-hardening-XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
failures=()
started=$SECONDS

# ---- 1. fuzzing ---------------------------------------------------------------
if [ "$fuzz_seconds" -gt 0 ]; then
  echo "== hardening: building the fuzz targets (clang, ASan + UBSan)"
  cmake -S "$root/fuzz" -B "$fuzz_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
  cmake --build "$fuzz_build" --target fuzzers
  findings="$fuzz_build/findings"
  mkdir -p "$findings"
  for target in $fuzz_targets; do
    binary="$fuzz_build/fuzz_$target"
    seeds="$root/fuzz/corpus/$target"
    corpus="$scratch/corpus-$target"
    mkdir -p "$corpus" "$scratch/tmp-$target"
    log="$scratch/fuzz-$target.log"
    echo "== hardening: fuzzing $target for ${fuzz_seconds}s"
    # The corpus that grows is scratch; the seeds in the project stay as they are.
    if TMPDIR="$scratch/tmp-$target" \
      ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:symbolize=1" \
      UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
      "$binary" -max_total_time="$fuzz_seconds" -timeout=20 -rss_limit_mb=2048 -max_len=16384 \
        -print_final_stats=1 -artifact_prefix="$findings/$target-" "$corpus" "$seeds" >"$log" 2>&1; then
      grep -E '^stat::(number_of_executed_units|new_units_added):' "$log" | tr '\n' ' ' || true
      echo
    else
      echo "!! hardening: fuzz target $target found a fault; its last output:"
      tail -n 60 "$log"
      ls -1 "$findings" | grep "^$target-" || true
      failures+=("fuzz:$target")
    fi
  done
fi

# ---- 2. the tests under AddressSanitizer and UndefinedBehaviorSanitizer --------
if [ "${XELO_SKIP_ASAN_TESTS:-0}" != 1 ]; then
  echo "== hardening: building the tests with -DXELO_ASAN=ON"
  # Without optimisation: the build is the longest step here, and the
  # sanitizers find the same faults.
  cmake -S "$root" -B "$asan_build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DXELO_ASAN=ON >/dev/null
  cmake --build "$asan_build"
  reports="$scratch/sanitizer-reports"
  mkdir -p "$reports"
  echo "== hardening: unit and integration tests under ASan + UBSan"
  # Reports of every process go to files, so that a program started by a
  # test whose exit status the test does not look at is still caught.
  if ! ASAN_OPTIONS="log_path=$reports/asan:detect_leaks=1" \
    UBSAN_OPTIONS="log_path=$reports/ubsan:print_stacktrace=1" \
    ctest --test-dir "$asan_build" -L 'unit|integration' -j "$(nproc)" --output-on-failure --timeout 600; then
    failures+=("asan:tests")
  fi
  if compgen -G "$reports/*" >/dev/null; then
    echo "!! hardening: sanitizer reports:"
    for report in "$reports"/*; do
      echo "---- $(basename "$report")"
      head -n 80 "$report"
    done
    failures+=("asan:reports")
  fi
fi

echo "== hardening: finished in $((SECONDS - started))s"
if ((${#failures[@]})); then
  echo "hardening: FAILED: ${failures[*]}"
  exit 1
fi
echo "hardening: passed"
