# Sourced by the session tests: a Wine prefix and server of the test's own whose
# desktop has the X display TAVRELON_TEST_DISPLAY (the suite's shared server
# runs headless, where no window can be made and consoles have no screen).
# Sets `work` (removed at exit, the server ended with it) and `pid` (a process
# to end at exit, when the test sets it). Exits 77 (skipped) without a display.
[ -n "${TAVRELON_TEST_DISPLAY:-}" ] || { echo "no display for Wine's windows"; exit 77; }
export DISPLAY=$TAVRELON_TEST_DISPLAY
work=$(mktemp -d)
pid=''
cleanup() {
  [ -z "$pid" ] || kill "$pid" 2>/dev/null || true
  /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
timeout 300 "$wine" wineboot -i </dev/null >/dev/null 2>&1
timeout 120 /usr/lib/wine/wineserver -w
