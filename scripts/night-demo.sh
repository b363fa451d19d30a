#!/usr/bin/env bash
# A short real night for the README's screenshot: four watchdogs, as on four
# workstations, supervise copies of the test suite's fake program and write
# their status logs into one shared folder; after about two and a half minutes
# tavrelon_report draws the folder and headless chromium photographs the
# page's top: the timeline, whose lanes name no path of this machine.
#
#   scripts/night-demo.sh [BUILD_DIR] [PNG]   (defaults: build, docs/night-report.png)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build}" && pwd)
png=${2:-docs/night-report.png}
mkdir -p "$(dirname "$png")"
png=$(cd "$(dirname "$png")" && pwd)/$(basename "$png")

night=$(mktemp -d)
status="$night/status"
mkdir -p "$status"/ws01 "$status"/ws02 "$status"/ws03 "$status"/ws04
for suite in render_suite network_suite ui_suite storage_suite export_suite backup_suite; do
  cp "$build/fake_program" "$night/$suite"
done

# One program block: PROGRAM, ARGUMENTS, STATUS LOG, extra lines.
block() {
  printf 'ApplicationPath: %s\nApplicationArgument: --log-dir "%s" %s\nApplicationLogDir: %s\nTavrelonLog: %s\n%s\n\n' \
    "$night/$1" "$night/logs/$1" "$2" "$night/logs/$1" "$3" "${4:-}"
}

pids=()
start_watchdog() {  # NAME CONFIGURATION
  mkdir -p "$night/$1"
  cp "$build/tavrelon" "$night/$1/"
  printf '%s' "$2" >"$night/$1/TavrelonConfig.ini"
  "$night/$1/tavrelon" >"$night/$1/out.txt" 2>/dev/null &
  pids+=($!)
}

# ws01: a crash and its restart, a hang that times out after a minute, a finish.
start_watchdog ws01 "$(
  block render_suite "--lines 20 --interval-ms 200 --crash-once \"$night/render.marker\"" "$status/ws01/render_suite.csv"
  block network_suite "--lines 5 --hang-once \"$night/network.marker\"" "$status/ws01/network_suite.csv" "TimeOutMin: 1"
  block export_suite "--lines 30 --interval-ms 300" "$status/ws01/export_suite.csv"
)"
# ws02: a crash loop.
start_watchdog ws02 "$(block ui_suite "--lines 10 --interval-ms 200 --code 1" "$status/ws02/ui_suite.csv")"
# ws03: a long run that the operator stops; ws04: one still running at the report.
start_watchdog ws03 "$(block storage_suite "--lines 100000 --interval-ms 1000" "$status/ws03/storage_suite.csv")"
sleep 40
start_watchdog ws04 "$(block backup_suite "--lines 100000 --interval-ms 1000" "$status/ws04/backup_suite.csv")"

sleep "${NIGHT_SECONDS:-110}"
kill -INT "${pids[2]}"
sleep 3
"$build/tavrelon_report" -o "$night/night.html" "$status"
timeout 120 chromium --headless --no-sandbox --disable-gpu --no-first-run \
  --user-data-dir="$night/profile" --window-size=1320,410 --hide-scrollbars --screenshot="$png" \
  "file://$night/night.html" 2>/dev/null
for pid in "${pids[@]}"; do
  kill -INT "$pid" 2>/dev/null || true
done
wait
echo "$png"
rm -rf "$night"
