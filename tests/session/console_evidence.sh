#!/usr/bin/env bash
# The last screen of a hung program's own console, under Wine with a display:
# a console that Wine makes without one has no screen buffer, so the suite's
# headless run only checks that the failure is said. Here the evidence test
# runs in a prefix whose consoles have windows, and console.txt must hold the
# program's words.
#
#   console_evidence.sh TESTS_EXE WINE
# Skipped (77) without TAVRELON_TEST_DISPLAY, the X display to use.
set -euo pipefail

tests=$1 wine=$2
. "$(dirname "$0")/display_prefix.sh"
/usr/lib/wine/wineserver64 -p
timeout 120 "$wine" wineboot </dev/null >/dev/null 2>&1
timeout 240 "$wine" "$tests" \
  --gtest_filter=Evidence.ATimeOutTakesEveryProcessOfTheHungProgramBeforeEndingIt </dev/null
