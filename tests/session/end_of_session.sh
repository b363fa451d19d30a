#!/usr/bin/env bash
# The end of the user's session under Wine with a display: `wineboot -e` sends
# WM_QUERYENDSESSION and WM_ENDSESSION to every top-level window. The watchdog,
# supervising a program that hangs with a child of its own, must record the run
# as "interrupted", end the program and its child, and exit with 0.
#
#   end_of_session.sh WATCHDOG FAKE_PROGRAM WINE
# Skipped (77) without TAVRELON_TEST_DISPLAY, the X display to use.
set -euo pipefail

watchdog=$1 fake=$2 wine=$3
. "$(dirname "$0")/display_prefix.sh"
fail() { echo "FAILED: $*" >&2; exit 1; }
windows() { local p="Z:$1"; echo "${p//\//\\}"; }

cp "$watchdog" "$fake" "$work/"
mkdir "$work/logs"
dir=$(windows "$work")
printf 'ApplicationPath: %s\r\nApplicationArgument: --lines 1 --end hang --log-dir %s --grandchild %s\r\nApplicationLogDir: %s\r\nTavrelonLog: %s\r\nEvidenceDir: %s\r\n' \
  "$dir\\fake_program.exe" "$dir\\logs" "$dir\\grandchild.pid" "$dir\\logs" "$dir\\status.csv" \
  "$dir\\evidence" \
  >"$work/TavrelonConfig.ini"

"$wine" "$work/tavrelon.exe" </dev/null >"$work/out.txt" 2>&1 &
pid=$!
for _ in $(seq 60); do
  grep -q ',running,' "$work/status.csv" 2>/dev/null && [ -s "$work/grandchild.pid" ] && break
  sleep 0.5
done
grep -q ',running,' "$work/status.csv" || fail "no run started: $(cat "$work/out.txt")"
# A moment for the window's thread to be up on a loaded machine.
sleep 2

timeout 60 "$wine" wineboot -e </dev/null >/dev/null 2>&1 || true
status=0
timeout 60 tail --pid="$pid" -f /dev/null || fail "the watchdog did not end"
wait "$pid" || status=$?
pid=''
[ "$status" -eq 0 ] || fail "the watchdog exited with $status"
rows=$(tr -d '\r' <"$work/status.csv")
grep -qE '^fake_program\.exe_[0-9]{14},interrupted,[0-9: -]{19},[0-9: -]{19},' <<<"$rows" ||
  fail "the run's row: $rows"
# The run's evidence says the same as its row.
summary=$(tr -d '\r' <"$work"/evidence/fake_program.exe_*/summary.txt 2>/dev/null) ||
  fail "no evidence of the run: $(cat "$work/out.txt")"
grep -qx 'Status: interrupted' <<<"$summary" || fail "the evidence: $summary"
# Neither the program nor its child runs on: no process started from the folder.
folder=$(basename "$work")
for _ in $(seq 20); do
  pgrep -f "$folder" >/dev/null || break
  sleep 0.5
done
! pgrep -f "$folder" >/dev/null || fail "left running: $(pgrep -af "$folder")"
echo "interrupted, program and child ended, exit status 0"
