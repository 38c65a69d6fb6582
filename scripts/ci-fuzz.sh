#!/usr/bin/env bash
# Builds every libFuzzer target of fuzz/ with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs each for a bounded time, starting
# from its seed corpus in fuzz/corpus/<target>/. A crash, a sanitizer report,
# a model mismatch or a hang fails the stage; the input that caused it is
# printed in hex. FUZZ_SECONDS sets the time per target (default 30).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-30}
build=build-fuzz
targets=(input_ring protocol number_text sim_request)
started=$(date +%s)

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
  -DKRM_WITH_QT=OFF -DKRM_WITH_TESTS=OFF -DKRM_WITH_FUZZ=ON -DKRM_SANITIZE=fuzzer -DKRM_WERROR=ON >/dev/null
cmake --build "$build" -j 2 --target "${targets[@]/#/fuzz_}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=()
for t in "${targets[@]}"; do
  mkdir -p "$work/$t/corpus" "$work/$t/found"
  log="$work/$t/log"
  # New inputs go to the scratch corpus; the seeds in the tree stay as they are.
  # One input running longer than 10 s counts as a hang.
  if "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$work/$t/found/" "$work/$t/corpus" "fuzz/corpus/$t" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
    echo "fuzz_$t: passed, $runs executions, cov: $cov"
  else
    failed+=("$t")
    echo "fuzz_$t: FAILED"
    grep -v -E '^#[0-9]+[[:space:]]+(NEW|REDUCE|pulse|INITED|RELOAD)' "$log" | tail -n 80
    for input in "$work/$t/found"/*; do
      [ -f "$input" ] || continue
      echo "reproducer $(basename "$input") ($(stat -c %s "$input") bytes), hex:"
      od -An -tx1 -v "$input"
    done
  fi
done
echo "fuzz stage: $(($(date +%s) - started)) s wall time"
((${#failed[@]} == 0)) || echo "failed: ${failed[*]}"
echo "fuzz: $((${#targets[@]} - ${#failed[@]})) passed, ${#failed[@]} failed"
((${#failed[@]} == 0))
