#!/usr/bin/env bash
# Builds the whole test suite with AddressSanitizer and UndefinedBehaviorSanitizer
# in build-asan and runs it with CTest. Any sanitizer report fails the script,
# also one from a program that a test starts (the watchdog itself, the test
# programs): every report is written to build-asan/sanitizer-reports/.
#
#   SANITIZE_EXCLUDE_LABELS  CTest label regex to leave out, e.g. "e2e" (default: none)
#   SANITIZE_BUILD_DIR       build directory (default: build-asan in the repository)
#   SANITIZE_JOBS            tests run side by side (default 2)
#   TAVRELON_WERROR          ON: warnings fail the build (CI sets it; default OFF)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${SANITIZE_BUILD_DIR:-$root/build-asan}
reports=$build/sanitizer-reports

# -O1 keeps the instrumented tests quick enough for their time limits while
# the stack traces stay readable.
cmake -S "$root" -B "$build" -DTAVRELON_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" -DTAVRELON_WERROR="${TAVRELON_WERROR:-OFF}" >/dev/null
cmake --build "$build" -j2

rm -rf "$reports"
mkdir -p "$reports"
export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1:log_path=$reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"

ctest_args=(--test-dir "$build" --output-on-failure --timeout 900 --parallel "${SANITIZE_JOBS:-2}")
if [[ -n "${SANITIZE_EXCLUDE_LABELS:-}" ]]; then
  ctest_args+=(--label-exclude "$SANITIZE_EXCLUDE_LABELS")
fi
status=0
ctest "${ctest_args[@]}" || status=$?

if compgen -G "$reports/*" >/dev/null; then
  echo "Sanitizer reports:"
  for report in "$reports"/*; do
    echo "---- $report"
    cat "$report"
  done
  status=1
fi
exit $status
