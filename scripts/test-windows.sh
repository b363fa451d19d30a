#!/usr/bin/env bash
# Cross-builds the Windows executables into build-win with mingw-w64 and runs
# the whole CTest suite under Wine, in a fresh Wine prefix inside build-win.
# Exits with ctest's status. Extra arguments go to ctest (e.g. -L unit).
#   TAVRELON_WERROR=ON  warnings fail the build (CI sets it)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup-debian.sh windows

build=build-win
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVRELON_WERROR="${TAVRELON_WERROR:-OFF}"
cmake --build "$build" -j2

wine=/usr/lib/wine/wine64
# A prefix of our own, made afresh: nothing of an earlier run's state carries over.
export WINEPREFIX="$PWD/$build/wineprefix"
export WINEDEBUG=-all
# No .NET or Gecko installers: they would stall a headless first start.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
rm -rf "$WINEPREFIX"

# Ends our Wine server and then, by PID, anything still running from our prefix
# (a stray explorer.exe once held a pipe open after the server had gone).
stop_wine() {
  /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
  local environ pid entry
  for environ in /proc/[0-9]*/environ; do
    pid=${environ#/proc/}
    pid=${pid%/environ}
    [ "$pid" != "$$" ] || continue
    # Read with builtins only: a helper process would carry our prefix too.
    while IFS= read -r -d '' entry; do
      if [ "$entry" = "WINEPREFIX=$WINEPREFIX" ]; then
        kill "$pid" 2>/dev/null || true
        break
      fi
    done 2>/dev/null <"$environ" || true
  done
}
trap stop_wine EXIT

# The order matters: the prefix first, then let its server finish, then one
# persistent server for all tests (started earlier, the first start stalled).
timeout 300 "$wine" wineboot -i </dev/null >/dev/null 2>&1
timeout 120 /usr/lib/wine/wineserver -w
/usr/lib/wine/wineserver64 -p
# Wine's services come up here, not inside the first test on ctest's pipes.
timeout 120 "$wine" wineboot </dev/null >/dev/null 2>&1

# A display for the tests of the end of the session (label session), which
# need windows: Xvfb on a display of its own, ended by its PID at exit.
xvfb=''
if command -v Xvfb >/dev/null; then
  display=:$((90 + RANDOM % 400))
  Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb=$!
  export TAVRELON_TEST_DISPLAY=$display
fi
trap 'stop_wine; [ -z "$xvfb" ] || kill "$xvfb" 2>/dev/null || true' EXIT

status=0
ctest --test-dir "$build" --output-on-failure --timeout 300 "$@" </dev/null || status=$?
exit "$status"
