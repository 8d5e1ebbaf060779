#!/usr/bin/env bash
# Times how long the installer (optimised build) takes from its start to its main window, with
# the two-model sample package and with a package of 200 models, and checks that the large one
# takes at most three times as long: reading a configuration must cost one parse of its file,
# not one per key.
#
#   bash scripts/bench-startup.sh [RUNS]     (default 31 runs of each; prints trimmed means)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-31}

bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release >/dev/null

winsim=$PWD/build/release/platform/tools/winsim
work=$PWD/build/bench-startup
rm -rf "$work"
mkdir -p "$work"
echo "close Driver Setup" >"$work/user.txt"

# A copy of the sample package whose configuration lists `models` models, each with the keys of
# the sample's first entry.
make_machine() {  # make_machine NAME MODELS
  local m=$work/$1 models=$2
  "$winsim" new "$m" >/dev/null
  cp -r examples/package "$m/C/Package"
  cp build/release/bin/Kelvane.exe "$m/C/Package/"
  if ((models != 2)); then
    local ini=$m/C/Package/Kelvane.ini
    sed -n '/^\[Resource\]/,/^$/p' examples/package/Kelvane.ini | sed "s/^Item=.*/Item=$models/" >"$ini.new"
    local entry
    entry=$(sed -n '/^\[PrinterInfo1\]/,/^$/p' examples/package/Kelvane.ini | tail -n +2)
    for ((i = 1; i <= models; i++)); do
      printf '[PrinterInfo%d]\n%s\n\n' "$i" "${entry//KV-1000/KV-1000-$i}" >>"$ini.new"
    done
    mv "$ini.new" "$ini"
  fi
  echo "$m"
}

# Milliseconds from the start of one run to its main window.
time_run() {  # time_run MACHINE
  local m=$1 start shown
  : >"$m/events.jsonl"
  start=$(date +%s%3N)
  "$winsim" run "$m" --script "$work/user.txt" 'C:\Package\Kelvane.exe' >/dev/null
  shown=$(grep '"action":"show"' "$m/events.jsonl" | grep -o '"time":[0-9]*' | head -1 | cut -d: -f2)
  [ -n "$shown" ] || { echo "bench: the window never showed in $m" >&2; exit 1; }
  echo $((shown - start))
}

# The mean of the middle three fifths of the runs: times are whole milliseconds, a few of them,
# so a median would move in steps of a sixth; the mean of many evens that out, and dropping
# the extremes keeps a stray slow run from weighing.
trimmed_mean() {
  sort -n | awk '{v[NR] = $1} END {
    lo = int(NR / 5) + 1; hi = NR - int(NR / 5); s = 0
    for (i = lo; i <= hi; i++) s += v[i]
    printf "%.1f\n", s / (hi - lo + 1) }'
}

small=$(make_machine two 2)
large=$(make_machine many 200)
printf 'configuration sizes: %s bytes (2 models), %s bytes (200 models)\n' \
  "$(stat -c %s "$small/C/Package/Kelvane.ini")" "$(stat -c %s "$large/C/Package/Kelvane.ini")"
# The two kinds of run take turns, so that a busy spell of the machine weighs on both alike.
: >"$work/small.ms"
: >"$work/large.ms"
for ((r = 0; r < runs; r++)); do
  time_run "$small" >>"$work/small.ms"
  time_run "$large" >>"$work/large.ms"
done
t_small=$(trimmed_mean <"$work/small.ms")
t_large=$(trimmed_mean <"$work/large.ms")
echo "start to window, trimmed mean of $runs runs: 2 models ${t_small} ms, 200 models ${t_large} ms"
awk -v s="$t_small" -v l="$t_large" 'BEGIN {
  r = l / (s > 0 ? s : 1); printf "ratio %.2f (target: at most 3)\n", r; exit (r <= 3) ? 0 : 1 }'
