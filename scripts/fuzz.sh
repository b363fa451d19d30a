#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz and runs each one for a
# bounded time, starting from its seed corpus in fuzz/corpus/<target>/.
# A crash, a leak, a time-out or any sanitizer report fails the script; the
# offending input is kept in build-fuzz/artifacts/<target>/.
#
#   FUZZ_SECONDS   seconds per target (default 60)
#   FUZZ_TARGETS   space-separated targets to run (default: all)
#   FUZZ_BUILD_DIR build directory (default: build-fuzz beside this script's repo)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
seconds=${FUZZ_SECONDS:-60}
targets=${FUZZ_TARGETS:-"config_fuzz status_log_fuzz last_line_fuzz"}

# Longest input per target: enough for several program blocks, a dozen rows,
# or a last line longer than the tracker's read window.
declare -A max_len=([config_fuzz]=4096 [status_log_fuzz]=4096 [last_line_fuzz]=16384)

cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTAVRELON_FUZZ=ON -DTAVRELON_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target $targets

# The targets write their inputs to files; on a memory file system the status
# log's flush to disk costs nothing, which keeps the executions per second up.
if [[ -z "${TMPDIR:-}" && -d /dev/shm && -w /dev/shm ]]; then
  export TMPDIR=/dev/shm
fi
export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

failed=0
for target in $targets; do
  corpus=$build/corpus/$target
  artifacts=$build/artifacts/$target
  mkdir -p "$corpus" "$artifacts"
  log=$build/$target.log
  echo "== $target: ${seconds}s"
  # The working corpus grows in the build folder; the seeds stay as checked in.
  if "$build/$target" "$corpus" "$root/fuzz/corpus/$target" \
      -max_total_time="$seconds" -max_len="${max_len[$target]:-4096}" -timeout=10 \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/" \
      >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "   ok, ${runs:-?} executions, corpus $(ls "$corpus" | wc -l) inputs"
  else
    failed=1
    echo "   FAILED; log: $log, inputs: $artifacts"
    grep -E 'FINDING|ERROR|SUMMARY|runtime error' "$log" | head -20 || true
  fi
done
exit $failed
