#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer) and runs
# each for SECONDS on its seeds and on what earlier runs found (build/fuzz-corpus/), two at a
# time. Fails when a target finds a crash, a hang or a leak; the input is left in
# build/fuzz-artifacts/ (make it a seed in tests/fuzz/seeds/ and a regression test).
#
#   bash scripts/fuzz.sh [SECONDS] [TARGET...]     (default: 60 seconds, every target)
#   FUZZ_FRESH=1 bash scripts/fuzz.sh 12           (only the seeds: what the test command runs)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
all=(fuzz_profile fuzz_config fuzz_lang fuzz_format fuzz_rc fuzz_state fuzz_paths fuzz_inf fuzz_driverver fuzz_gpd fuzz_usb fuzz_logmap fuzz_picture fuzz_oemdev fuzz_reply)
targets=("${@:-${all[@]}}")
[ ${#targets[@]} -gt 0 ] || targets=("${all[@]}")

bash scripts/setup.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

bin=build/fuzz/tests/fuzz
seeds=build/fuzz/fuzz-seeds
artifacts=build/fuzz-artifacts
logs=build/fuzz-logs/$(date +%Y%m%d-%H%M%S)-$$  # one folder per run: runs may overlap
mkdir -p "$artifacts" "$logs"

run_one() {  # run_one TARGET
  local t=$1 corpus
  if [ "${FUZZ_FRESH:-0}" = 1 ]; then
    corpus=$(mktemp -d)
  else
    corpus=build/fuzz-corpus/$t
    mkdir -p "$corpus"
  fi
  local status=0
  "$bin/$t" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=3072 -max_len=65536 -print_final_stats=1 \
    -artifact_prefix="$artifacts/$t-" "$corpus" "$seeds/$t" >"$logs/$t.log" 2>&1 || status=$?
  [ "${FUZZ_FRESH:-0}" = 1 ] && rm -rf "$corpus"
  local execs cov
  execs=$(LC_ALL=C sed -n "s/^stat::number_of_executed_units: *//p" "$logs/$t.log" | tail -1)
  cov=$(grep -ao 'cov: [0-9]*' "$logs/$t.log" | tail -1 | cut -d' ' -f2)
  if [ "$status" -ne 0 ]; then
    echo "fuzz: $t FAILED (exit $status) after ${execs:-?} runs; see $logs/$t.log" >&2
    grep -aE '^(==[0-9]+==ERROR|SUMMARY|fuzz check failed|.*runtime error)' "$logs/$t.log" | head -5 >&2 || true
    return 1
  fi
  echo "fuzz: $t clean: ${execs:-?} runs in ${seconds} s, coverage ${cov:-?} edges"
}

failed=0
running=0
for t in "${targets[@]}"; do
  run_one "$t" &
  running=$((running + 1))
  if ((running == 2)); then
    wait -n || failed=1
    running=$((running - 1))
  fi
done
while ((running > 0)); do
  wait -n || failed=1
  running=$((running - 1))
done
exit $failed
