#!/usr/bin/env bash
# Runs a Windows program under Wine for CTest and passes on its output and exit
# status. The output goes through files, not straight to CTest's pipes: every
# Wine process inherits its parent's descriptors, and one that outlives the
# program (the console host of a program ended early, say) would otherwise hold
# CTest's pipe open until the test's time-out.
out=$(mktemp) err=$(mktemp) || exit 125
trap 'rm -f "$out" "$err"' EXIT
status=0
/usr/lib/wine/wine64 "$@" >"$out" 2>"$err" || status=$?
cat "$out"
cat "$err" >&2
# A start that fails inside Wine itself leaves no output to tell it by.
if [ "$status" -ne 0 ] && [ ! -s "$out" ] && [ ! -s "$err" ]; then
  echo "wine-run: wine64 $1 ended with status $status and no output" >&2
fi
exit "$status"
