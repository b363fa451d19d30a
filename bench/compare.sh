#!/usr/bin/env bash
# Times the watchdog's log tree scan against GNU find doing the same work on the
# same tree: list every directory, keep the paths holding ".csv" and not
# "TavrelonLog", query the status of each kept file.
#
#   bench/compare.sh [BUILD_DIR]      (default: build)
#   ROUNDS=11 FILES=10000 SHAPE=flat bench/compare.sh
#
# Each round runs both once, alternating which goes first, so background load
# hits both alike. Both are timed the same way, as whole processes, start-up
# included. Prints every round, the medians and their ratio.
set -euo pipefail

build=${1:-build}
rounds=${ROUNDS:-5}
files=${FILES:-100000}
shape=${SHAPE:-nested}
scan="$build/tavrelon_scan_once"
[ -x "$scan" ] || { echo "no $scan: build first (cmake --build $build -j2)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tree="$work/tree"
"$scan" --make-tree "$tree" "$files" "$shape" >/dev/null

run_scan() { "$scan" "$tree" >/dev/null; }
run_find() {
  find "$tree" -type f -path '*.csv*' ! -path '*TavrelonLog*' -printf '%T@ %s %p\n' >/dev/null
}

# Wall time of one run in microseconds.
time_us() {
  local start=$EPOCHREALTIME
  "$@"
  local end=$EPOCHREALTIME
  echo $(( (${end/./} - ${start/./}) ))
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : int((v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }

# Warm the page cache (directories and inodes) before timing anything.
for _ in 1 2 3; do run_find; run_scan; done

scan_times=()
find_times=()
printf '%-6s %12s %12s\n' round scan_us find_us
for ((round = 1; round <= rounds; round++)); do
  if ((round % 2)); then
    s=$(time_us run_scan); f=$(time_us run_find)
  else
    f=$(time_us run_find); s=$(time_us run_scan)
  fi
  scan_times+=("$s"); find_times+=("$f")
  printf '%-6s %12s %12s\n' "$round" "$s" "$f"
done

scan_median=$(printf '%s\n' "${scan_times[@]}" | median)
find_median=$(printf '%s\n' "${find_times[@]}" | median)
echo "tree: $files files ($shape), rounds: $rounds"
echo "median scan: $scan_median us, median find: $find_median us"
awk -v s="$scan_median" -v f="$find_median" 'BEGIN { printf "ratio scan/find: %.2f\n", s / f }'
